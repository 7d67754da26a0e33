#include "inspect.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

#include "history.h"
#include "riff.h"
#include "times.h"
#include "workspace.h"

namespace tolva {

namespace {

std::optional<RIFF> HeaderOf(const fs::path& wav) {
  RIFF record{};
  if (!ReadEditableHeader(wav, wav.string(), &record).ok()) return std::nullopt;
  return record;
}

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

}  // namespace

Status DescribeWorkspace(std::string* text) {
  if (!Exists(paths::kAudio)) return Status::Failed("there is no audio/ folder here");
  std::string out = "working file: " + paths::kWorking.string();
  if (FileSize(paths::kWorking) < 0) {
    out += " (none)\n";
  } else if (auto r = HeaderOf(paths::kWorking)) {
    out += "\nformat: 16-bit PCM, " + std::string(r->NumChannels == 1 ? "mono" : "stereo") + ", " +
           std::to_string(r->SampleRate) + " Hz\nlength: " + Length(*r) + " (" +
           std::to_string(FrameCount(*r)) + " frames)\n";
  } else {
    out += " (not a WAV file tolva can edit)\n";
  }
  out += "snapshots: " + std::to_string(HistoryNames(paths::kSnapshots, true).size()) + "\n";
  out += "redo steps: " + std::to_string(HistoryNames(paths::kRedoSteps, false).size()) + "\n";
  *text = out;
  return Status::Ok();
}

Status DescribeHistory(std::string* text) {
  if (!Exists(paths::kAudio)) return Status::Failed("there is no audio/ folder here");
  std::string out;
  for (const std::string& name : HistoryNames(paths::kSnapshots, true)) {
    auto r = HeaderOf(paths::kSnapshots / name);
    out += name + "  " + TakenAt(*ParseSnapshotName(name)) + "  " +
           (r ? Length(*r) : "unreadable") + "\n";
  }
  *text = out.empty() ? "no snapshots\n" : out;
  return Status::Ok();
}

}  // namespace tolva
