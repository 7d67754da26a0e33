#include "driver.h"

#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "codec.h"
#include "effects.h"
#include "history.h"
#include "riff.h"
#include "second_source.h"
#include "workspace.h"

extern char** environ;

namespace tolva {

namespace {

// The front end writes five short numbers; anything past this is not read.
constexpr size_t kCommandLimit = 64 * 1024;

// What failed after the command's work was done: reported, not a failure.
void Warn(const Status& s) {
  if (!s.ok()) std::fprintf(stderr, "tolva: warning: %s\n", s.message().c_str());
}

// Op 1: the desktop's player, started and left running.
Status OpenWithPlayer(const Command&) {
  if (FileSize(paths::kWorking) < 0) return Status::Failed("there is no audio/output.wav to open");
#ifdef __APPLE__
  const char* opener = "open";
#else
  const char* opener = "xdg-open";
#endif
  std::string file = paths::kWorking.string();
  char* argv[] = {const_cast<char*>(opener), file.data(), nullptr};
  pid_t pid;
  int error = posix_spawnp(&pid, opener, nullptr, nullptr, argv, environ);
  if (error != 0) {
    return Status::Failed(std::string("cannot start ") + opener + ": " + std::strerror(error));
  }
  return Status::Ok();
}

// An import over a working file keeps it as the newest snapshot first, as an
// edit does: the work it holds stays reachable by undo. Nothing changes when
// the decode fails.
Status Import(const Command& c) {
  // A person may start a session in a folder that has no workspace yet.
  for (const fs::path& folder : {paths::kAudio, paths::kSnapshots}) {
    if (Status s = MakeFolder(folder); !s.ok()) return s;
  }
  std::string damage;
  if (Status s = Converter(0, c.file, &damage); !s.ok()) return s;
  Status s = Reset(Res, kImportWav);
  if (s.ok()) s = CreateVersion();
  if (s.ok()) s = RenameOver(paths::kImportWav, paths::kWorking);
  if (!s.ok()) RemoveFile(paths::kImportWav);
  if (s.ok() && !damage.empty()) Warn(Status::Failed(damage));
  return s;
}

// The recording that an import, insert or mix reads: the command's file, or `fixed`.
fs::path SourceFile(const Command& command, const fs::path& fixed) {
  return command.file.empty() ? fixed : command.file;
}

Status RefuseSecondRange(const Command& c) {
  if (c.end > static_cast<double>(Res1.Seconds)) {
    return Status::Refused("the range ends at " + FormatSeconds(c.end) + " s, after the " +
                           std::to_string(Res1.Seconds) + " whole seconds of " +
                           SourceFile(c, paths::kSecondMp3).string());
  }
  if (c.position < 0) return Status::Refused("the position lies before the audio");
  if (c.position > static_cast<double>(Res.Seconds)) {
    return Status::Refused("the position " + FormatSeconds(c.position) + " s lies after the " +
                           std::to_string(Res.Seconds) + " whole seconds of audio");
  }
  return Status::Ok();
}

// Decodes audio/res1.mp3 (or the command's file), loads Res1 and checks the
// command against both files; then opens the second source as the working file
// needs it, converted while it is read.
Status PrepareSecondSource(const Command& c, SecondSource* source) {
  std::string damage;
  if (Status s = Converter(1, c.file, &damage); !s.ok()) return s;
  if (!damage.empty()) Warn(Status::Failed(damage));
  if (Status s = Reset(Res1, kSecondSourceWav); !s.ok()) return s;
  if (Status s = CheckEditable(Res1, FileSize(paths::kSecondWav), paths::kSecondWav.string());
      !s.ok()) {
    return s;
  }
  if (Status s = RefuseSecondRange(c); !s.ok()) return s;
  return source->Open(paths::kSecondWav, Res1, Res.SampleRate, Res.NumChannels);
}

// Ops 5 and 10; audio/res1.wav never outlives the command, whatever became of it.
template <typename Op>
Status WithSecondSource(const Command& c, Op op) {
  SecondSource source;
  Status status = PrepareSecondSource(c, &source);
  if (status.ok()) status = op(source);
  Status removed = RemoveFile(paths::kSecondWav);
  return status.ok() ? removed : status;
}

Status Insert(const Command& c) {
  return WithSecondSource(
      c, [&](SecondSource& source) { return MergeFrom(Res, source, c.position, c.begin, c.end); });
}

Status Mix(const Command& c) {
  return WithSecondSource(c, [&](SecondSource& source) {
    return CombineFrom(Res, source, c.position, c.begin, c.end);
  });
}

// The export reads the working file and then removes it with its history, so
// it must never be written over one of the workspace's own files (`target` is
// resolved).
bool IsWorkspaceFile(const fs::path& target) {
  if (!InAudioFolder(target)) return false;
  const std::optional<fs::path> export_mp3 = Resolved(paths::kExportMp3);
  return !export_mp3 || target != *export_mp3;
}

// A byte copy, of a working file that the effects could work on: an export
// clears the working file, so what it writes must be the audio.
Status CopyWav(const fs::path& wav, const fs::path& copy, const fs::path& scratch) {
  RIFF record{};
  if (Status s = ReadEditableHeader(wav, wav.string(), &record); !s.ok()) return s;
  return CopyFile(wav, copy, scratch);
}

const ExportFormat kExportFormats[] = {
    {".mp3", "the MP3", EncodeMp3File},
    {".flac", "the FLAC file", EncodeFlacFile},
    {".wav", "the WAV file", CopyWav},
};

Status EncodeExport(const Command& c, const ExportFormat& format) {
  if (c.file.empty()) return transformer();
  const std::optional<fs::path> target = Resolved(c.file);
  if (!target) {
    return Status::Refused("cannot tell whether " + c.file.string() + " lies in the workspace");
  }
  if (IsWorkspaceFile(*target)) {
    return Status::Refused("the export would replace " + c.file.string() +
                           ", a file of the workspace");
  }
  return format.encode(paths::kWorking, c.file, ScratchBeside(c.file));
}

// Only a complete export may clear the working file and its history, and only
// once it is durably in place: from then on the export has happened, and what
// cannot be cleared is a warning, not a failure.
Status Export(const Command& c) {
  const ExportFormat* format = c.file.empty() ? &kExportFormats[0] : ExportFormatOf(c.file);
  if (format == nullptr) {
    return Status::Refused(c.file.string() + " names no format tolva exports (.mp3, .flac, .wav)");
  }
  if (Status s = EncodeExport(c, *format); !s.ok()) return s;
  const fs::path folder = c.file.empty() ? paths::kAudio : c.file.parent_path();
  if (Status s = SyncFolder(folder.empty() ? fs::path(".") : folder); !s.ok()) {
    return Status::Failed(s.message() + "; " + format->noun +
                          " is written, the working file and its history stay");
  }
  Step clear;
  clear.kind = Step::Kind::kClear;
  if (Status s = BeginStep(clear, true); !s.ok()) return s;
  Warn(ClearWorkingFileAndHistory());
  return EndStep();
}

constexpr int kImport = 0;
constexpr int kUndo = 666;
constexpr int kRedo = 667;
constexpr int kExport = 999;

constexpr Argument kBeginArg{"BEGIN", Slot::kBegin, Form::kTime, "start of the range"};
constexpr Argument kEndArg{"END", Slot::kEnd, Form::kTime, "end of the range (not included)"};
constexpr Argument kAtArg{"AT", Slot::kPosition, Form::kTime, "where it goes in the working file"};
constexpr Argument kFactorArg{"FACTOR", Slot::kAmount, Form::kWhole, "a whole number, at least 1"};
constexpr Argument kSecondArg{"FILE", Slot::kFile, Form::kPath,
                              "the recording to take the range from (never changed)"};

const Operation kOperations[] = {
    {kImport,
     "import",
     "decode audio/res.mp3 into the working file audio/output.wav",
     Import,
     "import",
     {Argument{"FILE", Slot::kFile, Form::kPath,
               "the recording to decode: MP3, WAV, FLAC, Ogg Vorbis, Opus or AIFF (never "
               "changed); default audio/res.mp3",
               true}},
     "tolva import ~/interview.wav"},
    {1,
     "listen",
     "open the working file with the desktop's player",
     OpenWithPlayer,
     "play",
     {},
     "tolva play"},
    {2,
     "volume",
     "multiply the samples of [begin, end) by amount",
     [](const Command& c) { return EditVoice(Res, c.begin, c.end, c.amount); },
     "volume",
     {kBeginArg, kEndArg, {"FACTOR", Slot::kAmount, Form::kNumber, "0.5 halves, 2 doubles"}},
     "tolva volume 1:00 1:30 0.5"},
    {3,
     "reverse",
     "play [begin, end) backwards",
     [](const Command& c) { return Reverse(Res, c.begin, c.end); },
     "reverse",
     {kBeginArg, kEndArg},
     "tolva reverse 4 6"},
    {4,
     "cut",
     "remove [begin, end)",
     [](const Command& c) { return CutOff(Res, c.begin, c.end); },
     "cut",
     {kBeginArg, kEndArg},
     "tolva cut 12.5 14"},
    {5,
     "insert",
     "insert [begin, end) of audio/res1.mp3 at position",
     Insert,
     "insert",
     {kSecondArg, kBeginArg, kEndArg, kAtArg},
     "tolva insert jingle.mp3 0 3 1:00"},
    {6,
     "silence channel",
     "silence channel int(amount) (0 left, 1 right) in [begin, end)",
     [](const Command& c) { return CutChannel(Res, c.begin, c.end, TruncateToInt(c.amount)); },
     "silence",
     {kBeginArg, kEndArg, {"CHANNEL", Slot::kAmount, Form::kChannel, "left (0) or right (1)"}},
     "tolva silence 10 20 left"},
    {7,
     "speed up",
     "keep one frame of every int(amount) in [begin, end)",
     [](const Command& c) { return Accelerate(Res, c.begin, c.end, TruncateToInt(c.amount)); },
     "speedup",
     {kBeginArg, kEndArg, kFactorArg},
     "tolva speedup 30 40 2"},
    {8,
     "slow down",
     "play every frame of [begin, end) int(amount) times",
     [](const Command& c) { return Moderate(Res, c.begin, c.end, TruncateToInt(c.amount)); },
     "slowdown",
     {kBeginArg, kEndArg, kFactorArg},
     "tolva slowdown 30 40 2"},
    {9,
     "echo",
     "halve [begin, end + amount) and mix in [begin, end) delayed by amount seconds",
     [](const Command& c) { return EnvironmentEffect(Res, c.begin, c.end, c.amount); },
     "echo",
     {kBeginArg, kEndArg, {"DELAY", Slot::kAmount, Form::kTime, "how much later the echo sounds"}},
     "tolva echo 2 3 0.25"},
    {10,
     "mix",
     "mix [begin, end) of audio/res1.mp3 into the working file from position on",
     Mix,
     "mix",
     {kSecondArg, kBeginArg, kEndArg, kAtArg},
     "tolva mix music.mp3 0 30 0:05"},
    {11,
     "raise pitch",
     "raise [begin, end) by int(amount) octaves (at least one)",
     [](const Command& c) { return RaiseTone(Res, c.begin, c.end, TruncateToInt(c.amount)); },
     "pitch",
     {kBeginArg, kEndArg, {"OCTAVES", Slot::kAmount, Form::kWhole, "octaves up (at least one)"}},
     "tolva pitch 5 6 1"},
    {12,
     "slow down, same pitch",
     "make [begin, end) int(amount) times longer at its pitch",
     [](const Command& c) { return ModeratePro(Res, c.begin, c.end, TruncateToInt(c.amount)); },
     "stretch",
     {kBeginArg, kEndArg, kFactorArg},
     "tolva stretch 5 6 2"},
    {13,
     "repeat",
     "insert a copy of [begin, end) at position",
     [](const Command& c) { return Repeat(Res, c.position, c.begin, c.end); },
     "repeat",
     {kBeginArg, kEndArg, kAtArg},
     "tolva repeat 1:00 1:05 1:05"},
    {14,
     "move",
     "move [begin, end) to position",
     [](const Command& c) { return Transfer(Res, c.position, c.begin, c.end); },
     "move",
     {kBeginArg, kEndArg, kAtArg},
     "tolva move 0 10 1:00"},
    {kUndo,
     "undo",
     "put the newest snapshot back as the working file",
     [](const Command&) { return Discard(); },
     "undo",
     {},
     "tolva undo"},
    {kRedo,
     "redo",
     "put back the version the last undo replaced",
     [](const Command&) { return Redo(); },
     "redo",
     {},
     "tolva redo"},
    {kExport,
     "export",
     "encode the working file into audio/output.mp3, then clear it and its history",
     Export,
     "export",
     {Argument{"FILE", Slot::kFile, Form::kExportFile,
               "where the export goes, as its extension says: .mp3, .flac (lossless) or .wav "
               "(a copy); default audio/output.mp3",
               true}},
     "tolva export ~/talk-edited.flac"},
};

bool IsEditing(int64_t op) {
  return op >= 2 && op <= 100;
}

// Snapshot, header and range check that precede every editing op.
Status PrepareEdit(const Command& c) {
  if (Status s = CreateVersion(); !s.ok()) return s;
  if (Status s = Reset(Res, kWorkingWav); !s.ok()) return s;
  if (Status s = CheckEditable(Res, FileSize(paths::kWorking), paths::kWorking.string()); !s.ok()) {
    return s;
  }
  if (c.begin >= c.end) {
    return Status::Refused("the range [" + FormatSeconds(c.begin) + ", " + FormatSeconds(c.end) +
                           ") is empty");
  }
  if (c.begin < 0) return Status::Refused("the range begins before the audio");
  if (c.position == 0 && c.end > static_cast<double>(Res.Seconds)) {
    return Status::Refused("the range ends at " + FormatSeconds(c.end) + " s, after the " +
                           std::to_string(Res.Seconds) + " whole seconds of audio");
  }
  return Status::Ok();
}

}  // namespace

const ExportFormat* ExportFormatOf(const fs::path& file) {
  std::string extension = file.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const ExportFormat& format : kExportFormats) {
    if (extension == format.extension) return &format;
  }
  return nullptr;
}

std::span<const Operation> Operations() {
  return kOperations;
}

std::string FormatSeconds(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

int TruncateToInt(double value) {
  if (!(value > std::numeric_limits<int>::min())) return std::numeric_limits<int>::min();
  if (value >= std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  return static_cast<int>(value);
}

Status ParseCommand(const std::string& text, Command* command) {
  const char* p = text.c_str();
  char* end = nullptr;
  errno = 0;
  long long op = std::strtoll(p, &end, 10);
  if (end == p) return Status::Refused("the command file does not start with an op code");
  p = end;
  Command c;
  c.op = op;
  double* fields[] = {&c.begin, &c.end, &c.position, &c.amount};
  for (double* field : fields) {
    *field = std::strtod(p, &end);
    if (end == p) return Status::Refused("the command file holds fewer than five numbers");
    if (!std::isfinite(*field))
      return Status::Refused("the command holds a number that is not finite");
    p = end;
  }
  *command = c;
  return Status::Ok();
}

namespace {

Status Dispatch(const Command& command) {
  if (IsEditing(command.op)) {
    if (Status s = PrepareEdit(command); !s.ok()) return s;
  }
  for (const Operation& operation : kOperations) {
    if (operation.op == command.op) return operation.run(command);
  }
  return Status::Refused("op code " + std::to_string(command.op) + " does nothing");
}

}  // namespace

// Any command other than undo and redo that leaves another working file
// (an edit, an import) starts a new branch of the history. The step is
// written down first, so that the branch is started even when the run is
// killed between the new working file and the end.
Status RunCommand(const Command& command) {
  if (!IsEditing(command.op) && command.op != kImport) return Dispatch(command);
  const FileIdentity before = IdentityOf(paths::kWorking);
  if (Exists(paths::kAudio)) {
    Step replace;
    replace.working = before;
    if (Status s = BeginStep(replace, false); !s.ok()) return s;
  }
  Status status = Status::Ok();
  {
    EditRecording recording;
    status = Dispatch(command);
  }
  Warn(FinishReplace(before));
  if (Status s = EndStep(); !s.ok()) Warn(s);
  return status;
}

Status TidyWorkspace() {
  RemoveLeftovers();
  return FinishInterruptedStep();
}

Status Run() {
  WorkspaceLock lock;
  if (Status s = LockWorkspace(&lock); !s.ok()) return s;
  if (!Exists(paths::kCommand)) return Status::Ok();
  std::string text;
  if (Status s = ReadPrefix(paths::kCommand, kCommandLimit, &text); !s.ok()) return s;
  // A command that stays behind would run again on the next start.
  if (Status s = RemoveFile(paths::kCommand); !s.ok()) return s;
  if (Status s = TidyWorkspace(); !s.ok()) return s;
  Command command;
  if (Status s = ParseCommand(text, &command); !s.ok()) return s;
  return RunCommand(command);
}

}  // namespace tolva
