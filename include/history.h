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
// audio/oldversions/redo. Its order is the order of the commands: every
// version that enters either folder gets a name that sorts after every name in
// both, so the newest snapshot and the newest redo step are the last names.
// No step removes or replaces a version; an interrupted step is finished or
// undone by the next run (FinishInterruptedStep).
namespace tolva {

// The clock that names snapshots: seconds since 1970-01-01 00:00 UTC. The
// variable TOLVA_CLOCK, when set to a number of seconds, stands in for the
// system clock (tests, reproducible sessions); tests may also replace it.
std::function<int64_t()>& SnapshotClock();

// One reading of the clock as a snapshot name spells it: the UTC date, and the
// UTC hour plus kSnapshotHourShift (8 to 31, not wrapped, the date not
// advanced).
constexpr int kSnapshotHourShift = 8;
struct ClockReading {
  int year, month, day, hour, minute, second;
};
ClockReading ReadClock();

// "output_Y_M_D_H_M_S.wav", or "output_Y_M_D_H_M_S_N.wav" for the N-th later
// snapshot of the same second.
std::string SnapshotName(const ClockReading& when, int n);

// The time and sequence number in a snapshot name, in the order they sort in.
using SnapshotKey = std::vector<int64_t>;
std::optional<SnapshotKey> ParseSnapshotName(const std::string& name);

// Names of the files (not folders) in `folder` ending in "." + ext, sorted.
std::vector<std::string> GetFileList(const fs::path& folder, const std::string& ext);

// A name for a new version that no file holds in either folder and that sorts
// after every name in both: the clock's reading, or, when the clock reads no
// later than the newest name (a clock set back, several commands in one
// second), the newest name's time with the next free number.
std::string NewVersionName();

// Keeps the working file as it is now as the newest snapshot (a hard link, or
// a byte copy where the file system has none). Nothing to do without a working
// file; a snapshot that cannot be kept is a failure.
Status CreateVersion();

// Names of the snapshots (or redo steps) in `folder` by the time in their
// names, newest first or oldest first; other files are ignored.
std::vector<std::string> HistoryNames(const fs::path& folder, bool newest_first);

// Undo: the working file becomes the newest redo step and the newest usable
// snapshot replaces it. Damaged snapshots are named on standard error and left
// in place.
Status Discard();

// Redo: the working file becomes the newest snapshot again and the newest
// usable redo step (the one the last undo made) replaces it.
Status Redo();

// Puts the redo steps out of reach (a new edit starts a new branch). They are
// moved aside in one rename; their space is freed with the rest of the history
// at the export, as freeing long files takes time in proportion to their size.
Status DropRedoSteps();

// A step of the history that takes more than one rename, written down before
// its first change so that a run killed midway can be finished or undone by the
// next run. Steps that change the working file commit with its rename.
struct Step {
  enum class Kind {
    kReplace,  // an edit or an import: the redo steps go once the working file changed
    kUndo,     // `version` (a snapshot) replaces the working file, kept as redo step `kept`
    kRedo,     // `version` (a redo step) replaces the working file, kept as snapshot `kept`
    kClear,    // the export: the working file and the history are removed
  };
  Kind kind = Kind::kReplace;
  FileIdentity working;  // the working file when the step began
  std::string version;
  std::string kept;  // empty when there was no working file to keep
};

// Writes the step down (`durable`: flushed to the disk first). Fails when a
// step is still written down: the workspace must be tidied first.
Status BeginStep(const Step& step, bool durable);
// The step is complete.
Status EndStep();

// Finishes or undoes the step a killed run left written down: a step that
// reached its commit is completed, one that did not is taken back as far as it
// went (a name it made for the working file is removed only when it still is
// the working file, or a copy of it made where there are no links).
Status FinishInterruptedStep();

// Removes the working file and the whole history (the export's last step).
Status ClearWorkingFileAndHistory();

}  // namespace tolva
