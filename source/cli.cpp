#include "cli.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <array>
#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>

#include "driver.h"
#include "inspect.h"
#include "progress.h"
#include "times.h"
#include "waveform.h"
#include "workspace.h"

namespace tolva {

namespace {

bool ParseNumber(const std::string& s, double* value) {
  const bool sign = !s.empty() && (s[0] == '-' || s[0] == '+');
  if (!ParseDecimal(sign ? s.substr(1) : s, value)) return false;
  if (s[0] == '-') *value = -*value;
  return true;
}

bool ParseWhole(const std::string& s, double* value) {
  if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *value = std::strtod(s.c_str(), nullptr);
  return true;
}

bool ParseChannel(const std::string& s, double* value) {
  if (s == "left" || s == "0")
    *value = 0;
  else if (s == "right" || s == "1")
    *value = 1;
  else
    return false;
  return true;
}

bool ParseArgument(Form form, const std::string& text, double* value) {
  switch (form) {
    case Form::kTime:
      return ParseTime(text, value);
    case Form::kNumber:
      return ParseNumber(text, value);
    case Form::kWhole:
      return ParseWhole(text, value);
    case Form::kChannel:
      return ParseChannel(text, value);
    case Form::kPath:
      return !text.empty();
    case Form::kExportFile:
      return ExportFormatOf(text) != nullptr;
  }
  return false;
}

const char* FormName(Form form) {
  switch (form) {
    case Form::kTime:
      return "TIME";
    case Form::kNumber:
      return "NUMBER";
    case Form::kWhole:
      return "WHOLE";
    case Form::kChannel:
      return "left|right";
    case Form::kPath:
    case Form::kExportFile:
      return "FILE";
  }
  return "";
}

CLI::Validator Checks(Form form) {
  return CLI::Validator(
      [form](std::string& text) {
        double unused;
        if (ParseArgument(form, text, &unused)) return std::string();
        if (form == Form::kTime) {
          return "'" + text + "' is not a time (seconds, m:ss.s or h:mm:ss.s)";
        }
        if (form == Form::kExportFile) {
          return "'" + text + "' names no format tolva exports: end it in .mp3, .flac or .wav";
        }
        return "'" + text + "' is not a " + FormName(form);
      },
      "");
}

void Fill(Command& command, const Argument& argument, const std::string& text) {
  if (argument.slot == Slot::kFile) {
    command.file = text;
    return;
  }
  double value = 0;
  ParseArgument(argument.form, text, &value);
  switch (argument.slot) {
    case Slot::kBegin:
      command.begin = value;
      break;
    case Slot::kEnd:
      command.end = value;
      break;
    case Slot::kPosition:
      command.position = value;
      break;
    case Slot::kAmount:
      command.amount = value;
      break;
    case Slot::kFile:
      break;
  }
}

std::string Usage(const Operation& op) {
  std::string usage = std::string("tolva ") + op.SubcommandName();
  for (const Argument& a : op.Arguments()) {
    usage += a.optional ? std::string(" [") + a.name + "]" : std::string(" ") + a.name;
  }
  return usage;
}

// Every subcommand that reads or changes the workspace runs through here, as
// the only run in it, as a command from the command file does.
Status InWorkspace(const std::function<Status()>& body) {
  WorkspaceLock lock;
  if (Status s = LockWorkspace(&lock); !s.ok()) return s;
  if (Exists(paths::kAudio)) {
    if (Status s = TidyWorkspace(); !s.ok()) return s;
  }
  BeginProgressLine();
  Status status = body();
  EndProgressLine();
  return status;
}

Status Print(const std::function<Status(std::string*)>& describe) {
  std::string text;
  Status s = describe(&text);
  if (s.ok()) std::fputs(text.c_str(), stdout);
  return s;
}

struct WaveformRequest {
  std::string picture;
  std::string peaks;
  int width = 1200;
  int height = 300;
  std::vector<std::string> range;                   // as typed: B E
  std::optional<std::pair<double, double>> shaded;  // as read
};

Status MakeWaveform(const WaveformRequest& request) {
  for (const std::string& out : {request.picture, request.peaks}) {
    if (!out.empty() && InAudioFolder(out)) {
      return Status::Refused("the waveform would replace " + out + ", a file of the workspace");
    }
  }
  Peaks peaks;
  if (Status s = ComputePeaks(paths::kWorking, request.width, &peaks); !s.ok()) return s;
  if (!request.peaks.empty()) {
    if (Status s = WritePeaksJson(peaks, request.peaks); !s.ok()) return s;
  }
  if (request.picture.empty()) return Status::Ok();
  return DrawWaveform(peaks, {.height = request.height, .range = request.shaded}, request.picture);
}

// The first argument that is neither an option nor the folder of -C.
std::string FirstWord(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "-C")
      ++i;
    else if (word.empty() || word[0] != '-')
      return word;
  }
  return "";
}

// One subcommand per row of the operation table; its arguments fill the same
// command record the command file does. `texts` holds what was typed.
void AddOperations(CLI::App& app, std::vector<std::array<std::string, 4>>& texts,
                   std::function<Status()>& chosen) {
  texts.resize(Operations().size());
  size_t row = 0;
  for (const Operation& op : Operations()) {
    CLI::App* sub = app.add_subcommand(op.SubcommandName(), op.summary);
    sub->footer(std::string("Example:\n  ") + (op.example ? op.example : Usage(op).c_str()));
    std::array<std::string, 4>& typed = texts[row++];
    for (size_t k = 0; k < op.Arguments().size(); ++k) {
      const Argument& a = op.Arguments()[k];
      sub->add_option(a.name, typed[k], a.help)
          ->required(!a.optional)
          ->type_name(FormName(a.form))
          ->check(Checks(a.form));
    }
    sub->callback([&op, &typed, &chosen] {
      Command command;
      command.op = op.op;
      for (size_t k = 0; k < op.Arguments().size(); ++k) {
        if (!typed[k].empty()) Fill(command, op.Arguments()[k], typed[k]);
      }
      chosen = [command] { return RunCommand(command); };
    });
  }
}

void AddQuestions(CLI::App& app, std::vector<std::string>& save, std::function<Status()>& chosen) {
  app.add_subcommand("info",
                     "show the working file's format and length, the snapshots and redo steps")
      ->footer("Example:\n  tolva info")
      ->callback([&chosen] { chosen = [] { return Print(DescribeWorkspace); }; });
  CLI::App* history = app.add_subcommand(
      "history", "list every version, newest first, with time and length; or save one");
  history->add_option("--save", save, "write version N (1, 2, ... or r1, r2, ...) as FILE.wav")
      ->expected(2)
      ->type_name("N FILE");
  history->footer("Example:\n  tolva history\n  tolva history --save 3 before-the-cuts.wav");
  history->callback([&save, &chosen] {
    if (save.empty()) {
      chosen = [] { return Print(DescribeHistory); };
    } else {
      chosen = [&save] { return SaveHistoryVersion(save[0], save[1]); };
    }
  });
}

void AddWaveform(CLI::App& app, WaveformRequest& waveform, std::function<Status()>& chosen) {
  CLI::App* picture =
      app.add_subcommand("waveform", "draw the working file as a PNG (or write its peaks as JSON)");
  picture->add_option("OUT", waveform.picture, "the PNG to write")->type_name("FILE");
  picture->add_option("--width", waveform.width, "columns (pixels)")
      ->capture_default_str()
      ->check(CLI::Range(1, 20000));
  picture->add_option("--height", waveform.height, "pixels")
      ->capture_default_str()
      ->check(CLI::Range(24, 20000));
  picture->add_option("--range", waveform.range, "shade the range B to E")
      ->expected(2)
      ->type_name("B E")
      ->check(Checks(Form::kTime));
  picture->add_option("--peaks", waveform.peaks, "write each column's minimum and maximum as JSON")
      ->type_name("OUT.json");
  picture->footer("Example:\n  tolva waveform before.png --range 60 90");
  picture->callback([&waveform, &chosen] {
    if (waveform.picture.empty() && waveform.peaks.empty()) {
      throw CLI::ValidationError("waveform", "give OUT.png, --peaks OUT.json or both");
    }
    double begin = 0, end = 0;
    if (waveform.range.size() == 2 && ParseTime(waveform.range[0], &begin) &&
        ParseTime(waveform.range[1], &end)) {
      if (begin >= end) throw CLI::ValidationError("--range", "the range ends before it begins");
      waveform.shaded = {begin, end};
    }
    chosen = [&waveform] { return MakeWaveform(waveform); };
  });
}

// What went wrong, and the usage line of the subcommand it concerns.
int ReportUsageError(CLI::App& app, const CLI::ParseError& e, int argc, char** argv) {
  const std::vector<CLI::App*> subs = app.get_subcommands();
  const std::string unknown = subs.empty() ? FirstWord(argc, argv) : "";
  const auto known = app.get_subcommands([&](CLI::App* sub) { return sub->get_name() == unknown; });
  if (!unknown.empty() && known.empty()) {
    std::fprintf(stderr, "tolva: unknown subcommand '%s'\n", unknown.c_str());
  } else {
    std::fprintf(stderr, "tolva: %s\n", e.what());
  }
  const Operation* chosen_op = nullptr;
  for (const Operation& op : Operations()) {
    if (!subs.empty() && subs.back()->get_name() == op.SubcommandName()) chosen_op = &op;
  }
  if (chosen_op != nullptr) {
    std::fprintf(stderr, "usage: %s (see tolva %s --help)\n", Usage(*chosen_op).c_str(),
                 chosen_op->SubcommandName());
  } else {
    std::fprintf(stderr, "usage: tolva [-C DIR] SUBCOMMAND [ARGS...] (see tolva --help)\n");
  }
  return kExitUsage;
}

}  // namespace

int Report(const Status& status, int refused_status) {
  if (status.failed()) {
    std::fprintf(stderr, "tolva: %s\n", status.message().c_str());
    return kExitFailed;
  }
  if (status.refused()) {
    std::fprintf(stderr, "tolva: refused: %s\n", status.message().c_str());
    return refused_status;
  }
  return kExitDone;
}

int RunCommandLine(int argc, char** argv) {
  CLI::App app(
      "tolva edits a recording in the folder that holds audio/: import an MP3, edit "
      "time ranges of the working file audio/output.wav (a snapshot before every edit, "
      "undo), export an MP3. Times are seconds (90.5) or m:ss.s (1:30.5).",
      "tolva");
  app.set_version_flag("--version", "tolva " TOLVA_VERSION);
  app.require_subcommand(1, 1);
  std::string folder;
  app.add_option("-C", folder, "work in DIR (the folder that holds audio/), not the current one")
      ->type_name("DIR")
      ->check(CLI::ExistingDirectory);
  std::function<Status()> chosen;
  std::vector<std::array<std::string, 4>> typed;
  std::vector<std::string> save;
  WaveformRequest waveform;
  AddOperations(app, typed, chosen);
  AddQuestions(app, save, chosen);
  AddWaveform(app, waveform, chosen);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    return ReportUsageError(app, e, argc, argv);
  }
  if (!folder.empty() && ::chdir(folder.c_str()) != 0) {
    return Report(Status::Failed(ErrnoText("cannot work in " + folder)), kExitRefused);
  }
  return Report(InWorkspace(chosen), kExitRefused);
}

}  // namespace tolva
