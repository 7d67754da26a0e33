#include "history.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <system_error>

#include "riff.h"

namespace tolva {

namespace {

constexpr int kHourShift = 8;

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
  static std::function<int64_t()> clock = [] { return static_cast<int64_t>(std::time(nullptr)); };
  return clock;
}

ClockReading ReadClock() {
  std::time_t now = static_cast<std::time_t>(SnapshotClock()());
  std::tm utc{};
  gmtime_r(&now, &utc);
  return {utc.tm_year + 1900,       utc.tm_mon + 1, utc.tm_mday,
          utc.tm_hour + kHourShift, utc.tm_min,     utc.tm_sec};
}

int GetYear() {
  return ReadClock().year;
}
int GetMonth() {
  return ReadClock().month;
}
int GetDay() {
  return ReadClock().day;
}
int GetHour() {
  return ReadClock().hour;
}
int GetMinute() {
  return ReadClock().minute;
}
int GetSecond() {
  return ReadClock().second;
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

std::string LastFile(const fs::path& folder, const std::string& ext) {
  const std::vector<std::string> names = SnapshotsByTime(folder, ext);
  return names.empty() ? " " : names.back();
}

Status CreateVersion() {
  if (FileSize(paths::kWorking) < 0) return Status::Ok();
  if (Status s = MakeFolder(paths::kSnapshots); !s.ok()) return s;
  const ClockReading when = ReadClock();
  for (int n = 0;; ++n) {
    bool existed = false;
    Status s = LinkOrCopy(paths::kWorking, paths::kSnapshots / SnapshotName(when, n), &existed);
    if (!s.ok())
      return Status::Failed("no snapshot could be taken, so nothing was changed: " + s.message());
    if (!existed) return Status::Ok();
  }
}

std::vector<std::string> HistoryNames(const fs::path& folder, bool newest_first) {
  std::vector<std::string> names = SnapshotsByTime(folder, "wav");
  if (newest_first) std::reverse(names.begin(), names.end());
  return names;
}

namespace {

// Installs the first usable version of `from` (in HistoryNames order) as the
// working file, keeping the working file it replaces in `keep` under the same
// name. The working file is linked before anything is renamed over it, so a
// crash at any point leaves every version under at least one name.
Status StepAcross(const fs::path& from, bool newest_first, const fs::path& keep,
                  const std::string& none) {
  for (const std::string& name : HistoryNames(from, newest_first)) {
    const fs::path version = from / name;
    // Only a version whose header is editable and whose data is all there.
    RIFF header{};
    if (Status usable = ReadEditableHeader(version, "it", &header); !usable.ok()) {
      std::fprintf(stderr, "tolva: skipped %s: %s\n", version.c_str(), usable.message().c_str());
      continue;
    }
    if (FileSize(paths::kWorking) >= 0) {
      if (Status s = MakeFolder(keep); !s.ok()) return s;
      const fs::path kept = keep / name;
      // A name left by an interrupted step is taken over.
      if (!SameFile(kept, paths::kWorking)) {
        if (Status s = RemoveFile(kept); !s.ok()) return s;
        bool existed = false;
        if (Status s = LinkOrCopy(paths::kWorking, kept, &existed); !s.ok()) return s;
      }
    }
    return MoveOver(version, paths::kWorking);
  }
  return Status::Refused(none);
}

}  // namespace

Status Discard() {
  return StepAcross(paths::kSnapshots, true, paths::kRedoSteps, "there is no snapshot to undo to");
}

Status Redo() {
  return StepAcross(paths::kRedoSteps, false, paths::kSnapshots, "there is nothing to redo");
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

}  // namespace tolva
