#include "inspect.h"

#include <cstdio>
#include <vector>

#include "history.h"
#include "riff.h"
#include "times.h"
#include "workspace.h"

namespace tolva {

namespace {

std::string Length(const RIFF& r) {
  return ClockTime(static_cast<double>(FrameCount(r)) / r.SampleRate, 3);
}

std::string TakenAt(const SnapshotKey& k) {
  char text[64];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld UTC",
                static_cast<long long>(k[0]), static_cast<long long>(k[1]),
                static_cast<long long>(k[2]), static_cast<long long>(k[3] - kSnapshotHourShift),
                static_cast<long long>(k[4]), static_cast<long long>(k[5]));
  return text;
}

// The versions as history numbers them: redo steps "r1" (the next redo) and
// up, snapshots "1" (the next undo) and up.
struct Numbered {
  std::string id;
  Version version;
};
std::vector<Numbered> NumberedVersions() {
  std::vector<Numbered> numbered;
  const std::vector<Version> redo = Versions(paths::kRedoSteps, false);
  for (size_t i = 0; i < redo.size(); ++i) {
    std::string id = std::to_string(redo.size() - i);
    numbered.push_back({id.insert(0, 1, 'r'), redo[i]});
  }
  int n = 0;
  for (const Version& v : Versions(paths::kSnapshots, true)) {
    numbered.push_back({std::to_string(++n), v});
  }
  return numbered;
}

std::string Line(const std::string& id, const std::string& name, const std::string& when,
                 const std::string& what) {
  char text[256];
  std::snprintf(text, sizeof text, "%3s  %-28s %-24s %s\n", id.c_str(), name.c_str(), when.c_str(),
                what.c_str());
  return text;
}

}  // namespace

Status DescribeWorkspace(std::string* text) {
  if (!Exists(paths::kAudio)) return Status::Failed("there is no audio/ folder here");
  std::string out = "working file: " + paths::kWorking.string();
  RIFF r{};
  if (FileSize(paths::kWorking) < 0) {
    out += " (none)\n";
  } else if (ReadEditableHeader(paths::kWorking, "", &r).ok()) {
    out += "\nformat: 16-bit PCM, " + std::string(r.NumChannels == 1 ? "mono" : "stereo") + ", " +
           std::to_string(r.SampleRate) + " Hz\nlength: " + Length(r) + " (" +
           std::to_string(FrameCount(r)) + " frames)\n";
  } else {
    out += " (not a WAV file tolva can edit)\n";
  }
  out += "snapshots: " + std::to_string(Versions(paths::kSnapshots, true).size()) + "\n";
  out += "redo steps: " + std::to_string(Versions(paths::kRedoSteps, true).size()) + "\n";
  *text = out;
  return Status::Ok();
}

Status DescribeHistory(std::string* text) {
  if (!Exists(paths::kAudio)) return Status::Failed("there is no audio/ folder here");
  const std::vector<Numbered> numbered = NumberedVersions();
  if (numbered.empty()) {
    *text = "no snapshots\n";
    return Status::Ok();
  }
  std::string out;
  bool working_shown = false;
  auto show_working = [&] {
    RIFF r{};
    const bool known = ReadEditableHeader(paths::kWorking, "", &r).ok();
    out += Line("", "(working file)", "", known ? Length(r) : "none");
    working_shown = true;
  };
  for (const auto& [id, v] : numbered) {
    if (!working_shown && id[0] != 'r') show_working();
    RIFF r{};
    const bool readable = ReadVersionHeader(v, &r).ok();
    out += Line(id, v.name, TakenAt(*ParseSnapshotName(v.name)),
                readable ? Length(r) + (v.whole ? "" : "  pieces") : "unreadable");
  }
  if (!working_shown) show_working();
  *text = out;
  return Status::Ok();
}

Status SaveHistoryVersion(const std::string& id, const fs::path& file) {
  if (InAudioFolder(file)) {
    return Status::Refused("the version would replace " + file.string() +
                           ", a file of the workspace");
  }
  for (const auto& [number, version] : NumberedVersions()) {
    if (number != id) continue;
    RIFF header{};
    if (Status s = ReadVersionHeader(version, &header); !s.ok()) {
      return Status::Failed(version.Path().string() + " cannot be read: " + s.message());
    }
    return SaveVersion(version, file, ScratchBeside(file));
  }
  return Status::Refused("there is no version " + id + " (see tolva history)");
}

}  // namespace tolva
