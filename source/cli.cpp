#include "cli.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>

#include "driver.h"
#include "inspect.h"
#include "progress.h"
#include "waveform.h"
#include "workspace.h"

namespace tolva {

namespace {

using Clock = std::chrono::steady_clock;

bool Digits(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "123", "123.", "123.45" or ".45"
bool ParseDecimal(const std::string& s, double* value) {
  const size_t point = s.find('.');
  const std::string whole = s.substr(0, point);
  const std::string fraction = point == std::string::npos ? "" : s.substr(point + 1);
  if (!Digits(whole) || !Digits(fraction) || (whole.empty() && fraction.empty())) return false;
  *value = std::strtod(s.c_str(), nullptr);
  return std::isfinite(*value);
}

bool ParseNumber(const std::string& s, double* value) {
  const bool sign = !s.empty() && (s[0] == '-' || s[0] == '+');
  if (!ParseDecimal(sign ? s.substr(1) : s, value)) return false;
  if (s[0] == '-') *value = -*value;
  return true;
}

bool ParseWhole(const std::string& s, double* value) {
  if (s.empty() || !Digits(s) || s.size() > 9) return false;
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
      return "FILE";
  }
  return "";
}

CLI::Validator Checks(Form form) {
  return CLI::Validator(
      [form](std::string& text) {
        double unused;
        if (ParseArgument(form, text, &unused)) return std::string();
        if (form == Form::kTime) return "'" + text + "' is not a time (seconds, or m:ss.s)";
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

// One self-updating line on a terminal, shown only for steps that last.
struct ProgressLine {
  Clock::time_point start = Clock::now();
  Clock::time_point last_drawn;
  bool drawn = false;
};
ProgressLine progress_line;

std::string Duration(double seconds) {
  char text[32];
  const auto s = static_cast<long long>(seconds + 0.5);
  std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
  return text;
}

void DrawProgress(int64_t done, int64_t total) {
  const Clock::time_point now = Clock::now();
  const double elapsed = std::chrono::duration<double>(now - progress_line.start).count();
  if (elapsed < 0.5) return;
  if (progress_line.drawn && now - progress_line.last_drawn < std::chrono::milliseconds(100)) {
    return;
  }
  const double part = std::clamp(static_cast<double>(done) / static_cast<double>(total), 0.0, 1.0);
  const double left = part > 0 ? elapsed * (1 - part) / part : 0;
  std::fprintf(stderr, "\r\033[K%3d%%  %s elapsed  %s left", static_cast<int>(part * 100),
               Duration(elapsed).c_str(), Duration(left).c_str());
  std::fflush(stderr);
  progress_line.last_drawn = now;
  progress_line.drawn = true;
}

void ClearProgress() {
  if (progress_line.drawn) std::fputs("\r\033[K", stderr);
  progress_line.drawn = false;
}

// Every subcommand that reads or changes the workspace runs through here, as
// the only run in it, as a command from the command file does.
Status InWorkspace(const std::function<Status()>& body) {
  WorkspaceLock lock;
  if (Status s = LockWorkspace(&lock); !s.ok()) return s;
  if (Exists(paths::kAudio)) {
    if (Status s = TidyWorkspace(); !s.ok()) return s;
  }
  if (isatty(STDERR_FILENO)) SetProgressListener(DrawProgress);
  progress_line.start = Clock::now();
  Status status = body();
  SetProgressListener(nullptr);
  ClearProgress();
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

}  // namespace

bool ParseTime(const std::string& text, double* seconds) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return ParseDecimal(text, seconds);
  const std::string minutes = text.substr(0, colon), rest = text.substr(colon + 1);
  double second = 0;
  if (minutes.empty() || minutes.size() > 9 || !Digits(minutes) || rest.size() < 2 ||
      !Digits(rest.substr(0, 2)) || (rest.size() > 2 && rest[2] != '.') ||
      !ParseDecimal(rest, &second) || second >= 60) {
    return false;
  }
  *seconds = std::strtod(minutes.c_str(), nullptr) * 60 + second;
  return true;
}

int Report(const Status& status, int refused_status) {
  if (status.failed()) {
    std::fprintf(stderr, "tolva: %s\n", status.message().c_str());
    return 1;
  }
  if (status.refused()) {
    std::fprintf(stderr, "tolva: refused: %s\n", status.message().c_str());
    return refused_status;
  }
  return 0;
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
  std::vector<std::array<std::string, 4>> values(Operations().size());
  size_t row = 0;
  for (const Operation& op : Operations()) {
    CLI::App* sub = app.add_subcommand(op.SubcommandName(), op.summary);
    sub->footer(std::string("Example:\n  ") + (op.example ? op.example : Usage(op).c_str()));
    for (size_t k = 0; k < op.Arguments().size(); ++k) {
      const Argument& a = op.Arguments()[k];
      sub->add_option(a.name, values[row][k], a.help)
          ->required(!a.optional)
          ->type_name(FormName(a.form))
          ->check(Checks(a.form));
    }
    std::array<std::string, 4>& texts = values[row];
    sub->callback([&op, &texts, &chosen] {
      Command command;
      command.op = op.op;
      for (size_t k = 0; k < op.Arguments().size(); ++k) {
        if (!texts[k].empty()) Fill(command, op.Arguments()[k], texts[k]);
      }
      chosen = [command] { return RunCommand(command); };
    });
    ++row;
  }

  app.add_subcommand("info",
                     "show the working file's format and length, the snapshots and redo steps")
      ->footer("Example:\n  tolva info")
      ->callback([&chosen] { chosen = [] { return Print(DescribeWorkspace); }; });
  app.add_subcommand("history", "list the snapshots, newest first, with time and length")
      ->footer("Example:\n  tolva history")
      ->callback([&chosen] { chosen = [] { return Print(DescribeHistory); }; });

  WaveformRequest waveform;
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
  picture->callback([&] {
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

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    const std::vector<CLI::App*> subs = app.get_subcommands();
    const std::string unknown = subs.empty() ? FirstWord(argc, argv) : "";
    const auto known =
        app.get_subcommands([&](CLI::App* sub) { return sub->get_name() == unknown; });
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
    return 2;
  }
  if (!folder.empty() && ::chdir(folder.c_str()) != 0) {
    return Report(Status::Failed(ErrnoText("cannot work in " + folder)), 3);
  }
  return Report(InWorkspace(chosen), 3);
}

}  // namespace tolva
