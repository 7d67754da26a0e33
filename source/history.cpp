#include "history.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <system_error>

#include "riff.h"

namespace tolva {

namespace {

bool ParseNumber(const std::string& text, size_t& pos, int64_t* value) {
  size_t start = pos;
  int64_t v = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 12) {
    v = v * 10 + (text[pos] - '0');
    ++pos;
  }
  *value = v;
  return pos > start;
}

}  // namespace

std::function<int64_t()>& SnapshotClock() {
  static std::function<int64_t()> clock = [] {
    if (const char* fixed = std::getenv("TOLVA_CLOCK")) {
      char* end = nullptr;
      const long long seconds = std::strtoll(fixed, &end, 10);
      if (end != fixed && *end == '\0') return static_cast<int64_t>(seconds);
    }
    return static_cast<int64_t>(std::time(nullptr));
  };
  return clock;
}

ClockReading ReadClock() {
  std::time_t now = static_cast<std::time_t>(SnapshotClock()());
  std::tm utc{};
  gmtime_r(&now, &utc);
  return {utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour + kSnapshotHourShift,
          utc.tm_min,         utc.tm_sec};
}

std::string SnapshotName(const ClockReading& when, int n) {
  char name[128];
  int length = std::snprintf(name, sizeof name, "output_%d_%d_%d_%d_%d_%d", when.year, when.month,
                             when.day, when.hour, when.minute, when.second);
  if (n > 0) std::snprintf(name + length, sizeof name - length, "_%d", n);
  return std::string(name) + ".wav";
}

std::optional<SnapshotKey> ParseSnapshotName(const std::string& name) {
  const std::string prefix = "output_";
  const std::string suffix = ".wav";
  if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return std::nullopt;
  }
  const std::string body = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  SnapshotKey key;
  size_t pos = 0;
  while (true) {
    int64_t value;
    if (!ParseNumber(body, pos, &value)) return std::nullopt;
    key.push_back(value);
    if (pos == body.size()) break;
    if (body[pos] != '_') return std::nullopt;
    ++pos;
  }
  if (key.size() == 6) key.push_back(0);
  if (key.size() != 7) return std::nullopt;
  return key;
}

std::vector<std::string> GetFileList(const fs::path& folder, const std::string& ext) {
  std::vector<std::string> names;
  std::error_code ec;
  const std::string suffix = "." + ext;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    std::string name = it->path().filename().string();
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      names.push_back(std::move(name));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

// The snapshot names among the `ext` files of `folder`, oldest first by the
// time (and number) in the name.
std::vector<std::string> SnapshotsByTime(const fs::path& folder, const std::string& ext) {
  std::vector<std::pair<SnapshotKey, std::string>> keyed;
  for (std::string& name : GetFileList(folder, ext)) {
    if (std::optional<SnapshotKey> key = ParseSnapshotName(name)) keyed.emplace_back(*key, name);
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<std::string> names;
  for (auto& entry : keyed) names.push_back(std::move(entry.second));
  return names;
}

}  // namespace

std::vector<std::string> HistoryNames(const fs::path& folder, bool newest_first) {
  std::vector<std::string> names = SnapshotsByTime(folder, "wav");
  if (newest_first) std::reverse(names.begin(), names.end());
  return names;
}

namespace {

std::string NameOf(const SnapshotKey& key) {
  char name[160];
  int length = std::snprintf(name, sizeof name, "output_%lld_%lld_%lld_%lld_%lld_%lld",
                             static_cast<long long>(key[0]), static_cast<long long>(key[1]),
                             static_cast<long long>(key[2]), static_cast<long long>(key[3]),
                             static_cast<long long>(key[4]), static_cast<long long>(key[5]));
  if (key[6] > 0) {
    std::snprintf(name + length, sizeof name - length, "_%lld", static_cast<long long>(key[6]));
  }
  return std::string(name) + ".wav";
}

bool NameTaken(const std::string& name) {
  return Exists(paths::kSnapshots / name) || Exists(paths::kRedoSteps / name);
}

}  // namespace

std::string NewVersionName() {
  const ClockReading when = ReadClock();
  SnapshotKey key = {when.year, when.month, when.day, when.hour, when.minute, when.second, 0};
  for (const fs::path& folder : {paths::kSnapshots, paths::kRedoSteps}) {
    const std::vector<std::string> names = SnapshotsByTime(folder, "wav");
    if (names.empty()) continue;
    SnapshotKey newest = *ParseSnapshotName(names.back());
    if (newest >= key) {
      ++newest[6];
      key = newest;
    }
  }
  while (NameTaken(NameOf(key))) ++key[6];
  return NameOf(key);
}

Status CreateVersion() {
  if (FileSize(paths::kWorking) < 0) return Status::Ok();
  if (Status s = MakeFolder(paths::kSnapshots); !s.ok()) return s;
  bool existed = false;
  Status s = LinkOrCopy(paths::kWorking, paths::kSnapshots / NewVersionName(), &existed);
  if (s.ok() && existed) s = Status::Failed("the name of the new snapshot is taken");
  if (!s.ok()) {
    return Status::Failed("no snapshot could be taken, so nothing was changed: " + s.message());
  }
  return Status::Ok();
}

namespace {

// Where a step of `kind` takes its version from and keeps the working file.
fs::path FromFolder(Step::Kind kind) {
  return kind == Step::Kind::kUndo ? paths::kSnapshots : paths::kRedoSteps;
}
fs::path KeepFolder(Step::Kind kind) {
  return kind == Step::Kind::kUndo ? paths::kRedoSteps : paths::kSnapshots;
}

// Installs the first usable version of `kind`'s folder (newest first) as the
// working file and keeps the working file it replaces under a new name in the
// other folder. The working file is linked before anything is renamed over
// it, so every version keeps at least one name throughout.
Status StepAcross(Step::Kind kind, const std::string& none) {
  const fs::path from = FromFolder(kind), keep = KeepFolder(kind);
  for (const std::string& name : HistoryNames(from, true)) {
    const fs::path version = from / name;
    // Only a version whose header is editable and whose data is all there.
    RIFF header{};
    if (Status usable = ReadEditableHeader(version, "it", &header); !usable.ok()) {
      std::fprintf(stderr, "tolva: skipped %s: %s\n", version.c_str(), usable.message().c_str());
      continue;
    }
    Step step;
    step.kind = kind;
    step.working = IdentityOf(paths::kWorking);
    step.version = name;
    const bool has_working = FileSize(paths::kWorking) >= 0;
    if (has_working) {
      if (Status s = MakeFolder(keep); !s.ok()) return s;
      step.kept = NewVersionName();
    }
    if (Status s = BeginStep(step, false); !s.ok()) return s;
    if (has_working) {
      bool existed = false;
      Status s = LinkOrCopy(paths::kWorking, keep / step.kept, &existed);
      if (s.ok() && existed) s = Status::Failed("the name " + step.kept + " is taken");
      if (!s.ok()) return s;
    }
    if (Status s = MoveOver(version, paths::kWorking); !s.ok()) return s;
    return EndStep();
  }
  return Status::Refused(none);
}

}  // namespace

Status Discard() {
  return StepAcross(Step::Kind::kUndo, "there is no snapshot to undo to");
}

Status Redo() {
  return StepAcross(Step::Kind::kRedo, "there is nothing to redo");
}

Status DropRedoSteps() {
  if (!Exists(paths::kRedoSteps)) return Status::Ok();
  if (Status s = MakeFolder(paths::kDropped); !s.ok()) return s;
  for (int n = 1;; ++n) {
    const fs::path aside = paths::kDropped / std::to_string(n);
    if (Exists(aside)) continue;
    return RenameOver(paths::kRedoSteps, aside);
  }
}

Status ClearWorkingFileAndHistory() {
  Status working = RemoveFile(paths::kWorking);
  Status history = RemoveFolder(paths::kSnapshots);
  return working.ok() ? history : working;
}

// The step file: one "key value" line per field, then "end". A file without
// its last line was being written when the run stopped, before the step
// changed anything.
namespace {

const char* KindName(Step::Kind kind) {
  switch (kind) {
    case Step::Kind::kReplace:
      return "replace";
    case Step::Kind::kUndo:
      return "undo";
    case Step::Kind::kRedo:
      return "redo";
    case Step::Kind::kClear:
      return "clear";
  }
  return "";
}

std::optional<Step> ParseStep(const std::string& text) {
  std::istringstream in(text);
  std::string key, kind;
  Step step;
  bool ended = false;
  while (!ended && in >> key) {
    if (key == "kind") {
      in >> kind;
    } else if (key == "working") {
      in >> step.working.device >> step.working.inode;
    } else if (key == "version") {
      in >> step.version;
    } else if (key == "kept") {
      in >> step.kept;
    } else if (key == "end") {
      ended = true;
    } else {
      return std::nullopt;
    }
    if (!in) return std::nullopt;
  }
  const Step::Kind kinds[] = {Step::Kind::kReplace, Step::Kind::kUndo, Step::Kind::kRedo,
                              Step::Kind::kClear};
  for (Step::Kind k : kinds) {
    if (ended && kind == KindName(k)) {
      step.kind = k;
      return step;
    }
  }
  return std::nullopt;
}

// A name the step was to make for the working file: it was free when the step
// began and only this step could make it, as the working file itself (a link)
// or, where the file system has no links, a copy of it.
Status RemoveKeptName(const Step& step) {
  if (step.kept.empty()) return Status::Ok();
  return RemoveFile(KeepFolder(step.kind) / step.kept);
}

}  // namespace

Status BeginStep(const Step& step, bool durable) {
  std::string text = std::string("kind ") + KindName(step.kind) + "\nworking " +
                     std::to_string(step.working.device) + " " +
                     std::to_string(step.working.inode) + "\n";
  if (!step.version.empty()) text += "version " + step.version + "\n";
  if (!step.kept.empty()) text += "kept " + step.kept + "\n";
  text += "end\n";
  return WriteNewFile(paths::kStep, text, durable);
}

Status EndStep() {
  return RemoveFile(paths::kStep);
}

Status FinishInterruptedStep() {
  if (!Exists(paths::kStep)) return Status::Ok();
  std::string text;
  if (Status s = ReadPrefix(paths::kStep, 4096, &text); !s.ok()) return s;
  if (std::optional<Step> step = ParseStep(text)) {
    Status s = Status::Ok();
    switch (step->kind) {
      case Step::Kind::kReplace:
        // Committed when the working file is another file than at the start.
        if (IdentityOf(paths::kWorking) != step->working) s = DropRedoSteps();
        break;
      case Step::Kind::kUndo:
      case Step::Kind::kRedo:
        // Committed when the version left its folder for the working file.
        if (Exists(FromFolder(step->kind) / step->version)) s = RemoveKeptName(*step);
        break;
      case Step::Kind::kClear:
        // The export was durably in place: what it started is finished.
        s = ClearWorkingFileAndHistory();
        break;
    }
    if (!s.ok()) return s;
  }
  return EndStep();
}

}  // namespace tolva
