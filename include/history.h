#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "status.h"
#include "workspace.h"

// The history of the working file: snapshots (older versions) in
// audio/oldversions, the working file, and redo steps (versions undone) in
// audio/oldversions/redo. A redo step is named after the snapshot its undo
// installed, so the newest step has the oldest name, and every step moves one
// version across by links and renames, in constant time.
namespace tolva {

// The clock that names snapshots: seconds since 1970-01-01 00:00 UTC. Tests
// replace it.
std::function<int64_t()>& SnapshotClock();

// One reading of the clock as a snapshot name spells it: the UTC date, and the
// UTC hour plus 8 (8 to 31, not wrapped, the date not advanced).
struct ClockReading {
  int year, month, day, hour, minute, second;
};
ClockReading ReadClock();

// Each getter takes a reading of its own.
int GetYear();
int GetMonth();
int GetDay();
int GetHour();
int GetMinute();
int GetSecond();

// "output_Y_M_D_H_M_S.wav", or "output_Y_M_D_H_M_S_N.wav" for the N-th later
// snapshot of the same second.
std::string SnapshotName(const ClockReading& when, int n);

// The time and sequence number in a snapshot name, in the order they sort in.
using SnapshotKey = std::vector<int64_t>;
std::optional<SnapshotKey> ParseSnapshotName(const std::string& name);

// Names of the files (not folders) in `folder` ending in "." + ext, sorted.
std::vector<std::string> GetFileList(const fs::path& folder, const std::string& ext);

// The newest snapshot in `folder` by the time (and number) in its name, or " "
// when there is none. Files whose names are not snapshot names are ignored.
std::string LastFile(const fs::path& folder, const std::string& ext);

// Keeps the working file as it is now as a new snapshot (a hard link, or a
// byte copy where the file system has none). Nothing to do without a working
// file; a snapshot that cannot be kept is a failure.
Status CreateVersion();

// Names of the snapshots (or redo steps) in `folder` by the time in their
// names, newest first or oldest first; other files are ignored.
std::vector<std::string> HistoryNames(const fs::path& folder, bool newest_first);

// Undo: the working file becomes a redo step and the newest usable snapshot
// replaces it. Damaged snapshots are named on standard error and left in place.
Status Discard();

// Redo: the working file becomes the newest snapshot again and the newest
// usable redo step replaces it.
Status Redo();

// Puts the redo steps out of reach (a new edit starts a new branch). They are
// moved aside in one rename; their space is freed with the rest of the history
// at the export, as freeing long files takes time in proportion to their size.
Status DropRedoSteps();

}  // namespace tolva
