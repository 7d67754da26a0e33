#include "driver.h"

#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "codec.h"
#include "effects.h"
#include "history.h"
#include "riff.h"
#include "workspace.h"

extern char** environ;

namespace tolva {

namespace {

// The front end writes five short numbers; anything past this is not read.
constexpr size_t kCommandLimit = 64 * 1024;

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

Status Import(const Command&) {
  if (Status s = MakeFolder(paths::kSnapshots); !s.ok()) return s;
  if (Status s = Converter(0); !s.ok()) return s;
  return Reset(Res, kImportWav);
}

// Only a complete MP3 may clear the working file and its history, and only once
// the MP3 is durably in place: from then on the export has happened, and what
// cannot be cleared is a warning, not a failure.
Status Export(const Command&) {
  if (Status s = transformer(); !s.ok()) return s;
  SyncFolder(paths::kAudio);
  for (Status s : {RemoveFile(paths::kWorking), RemoveFolder(paths::kSnapshots)}) {
    if (!s.ok()) std::fprintf(stderr, "tolva: warning: %s\n", s.message().c_str());
  }
  return Status::Ok();
}

constexpr int kUndo = 666;
constexpr int kRedo = 667;

const Operation kOperations[] = {
    {0, "import", "decode audio/res.mp3 into the working file audio/output.wav", Import},
    {1, "listen", "open the working file with the desktop's player", OpenWithPlayer},
    {2, "volume", "multiply the samples of [begin, end) by amount",
     [](const Command& c) { return EditVoice(Res, c.begin, c.end, c.amount); }},
    {3, "reverse", "play [begin, end) backwards",
     [](const Command& c) { return Reverse(Res, c.begin, c.end); }},
    {4, "cut", "remove [begin, end)", [](const Command& c) { return CutOff(Res, c.begin, c.end); }},
    {5, "insert", "insert [begin, end) of audio/res1.mp3 at position", RunMerge},
    {6, "silence channel", "silence channel int(amount) (0 left, 1 right) in [begin, end)",
     [](const Command& c) { return CutChannel(Res, c.begin, c.end, TruncateToInt(c.amount)); }},
    {7, "speed up", "keep one frame of every int(amount) in [begin, end)",
     [](const Command& c) { return Accelerate(Res, c.begin, c.end, TruncateToInt(c.amount)); }},
    {8, "slow down", "play every frame of [begin, end) int(amount) times",
     [](const Command& c) { return Moderate(Res, c.begin, c.end, TruncateToInt(c.amount)); }},
    {9, "echo", "halve [begin, end + amount) and mix in [begin, end) delayed by amount seconds",
     [](const Command& c) { return EnvironmentEffect(Res, c.begin, c.end, c.amount); }},
    {10, "mix", "mix [begin, end) of audio/res1.mp3 into the working file from position on",
     RunCombine},
    {11, "raise pitch", "raise [begin, end) by int(amount) octaves (at least one)",
     [](const Command& c) { return RaiseTone(Res, c.begin, c.end, TruncateToInt(c.amount)); }},
    {12, "slow down, same pitch", "make [begin, end) int(amount) times longer at its pitch",
     [](const Command& c) { return ModeratePro(Res, c.begin, c.end, TruncateToInt(c.amount)); }},
    {13, "repeat", "insert a copy of [begin, end) at position",
     [](const Command& c) { return Repeat(Res, c.position, c.begin, c.end); }},
    {14, "move", "move [begin, end) to position",
     [](const Command& c) { return Transfer(Res, c.position, c.begin, c.end); }},
    {kUndo, "undo", "put the newest snapshot back as the working file",
     [](const Command&) { return Discard(); }},
    {kRedo, "redo", "put back the version the last undo replaced",
     [](const Command&) { return Redo(); }},
    {999, "export", "encode the working file into audio/output.mp3, then clear it and its history",
     Export},
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
// (an edit, an import, an export) starts a new branch of the history.
Status RunCommand(const Command& command) {
  const FileIdentity before = IdentityOf(paths::kWorking);
  Status status = Dispatch(command);
  if (command.op != kUndo && command.op != kRedo && IdentityOf(paths::kWorking) != before) {
    if (Status s = DropRedoSteps(); !s.ok()) {
      std::fprintf(stderr, "tolva: warning: %s\n", s.message().c_str());
    }
  }
  return status;
}

Status Run() {
  WorkspaceLock lock;
  if (Status s = LockWorkspace(&lock); !s.ok()) return s;
  if (!Exists(paths::kCommand)) return Status::Ok();
  std::string text;
  if (Status s = ReadPrefix(paths::kCommand, kCommandLimit, &text); !s.ok()) return s;
  // A command that stays behind would run again on the next start.
  if (Status s = RemoveFile(paths::kCommand); !s.ok()) return s;
  RemoveLeftovers();
  Command command;
  if (Status s = ParseCommand(text, &command); !s.ok()) return s;
  return RunCommand(command);
}

}  // namespace tolva
