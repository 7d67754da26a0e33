#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "riff.h"
#include "status.h"
#include "workspace.h"

// The history of the working file: snapshots (older versions) in
// audio/oldversions, the working file, and redo steps (versions undone) in
// audio/oldversions/redo. Its order is the order of the commands: every
// version that enters either folder gets a name that sorts after every name in
// both, so the newest snapshot and the newest redo step are the last names.
// No step removes or replaces a version; an interrupted step is finished or
// taken back by the next run (FinishInterruptedStep).
//
// A version is kept whole ("<name>.wav"), as pieces ("<name>.pieces", see
// pieces.h), or both. The recording as imported and the newest version of
// each folder stay whole, so that the next undo or redo is a rename; the
// others are pieces, which cost the disk what their edits changed.
namespace tolva {

class EditRecorder;

namespace paths {
// The description of the working file as pieces, and the one an edit or a
// rebuild writes for the file that is about to replace it.
inline const fs::path kWorkingPieces = "audio/oldversions/working.pieces";
inline const fs::path kNewWorkingPieces = "audio/oldversions/working.pieces.new";
}  // namespace paths

// The clock that names snapshots: seconds since 1970-01-01 00:00 UTC. The
// variable TOLVA_CLOCK, when set to a number of seconds, stands in for the
// system clock (tests, reproducible sessions); tests may also replace it.
std::function<int64_t()>& SnapshotClock();

// The time and sequence number in a version's name, in the order they sort
// in: year, month, day, hour, minute, second, N.
using SnapshotKey = std::vector<int64_t>;

// One reading of the clock as a version's name spells it: the UTC date, and
// the UTC hour plus kSnapshotHourShift (8 to 31, not wrapped, the date not
// advanced); N is 0.
constexpr int kSnapshotHourShift = 8;
SnapshotKey ReadClock();

// "output_Y_M_D_H_M_S", or "output_Y_M_D_H_M_S_N" for the N-th later version
// of the same second.
std::string VersionName(const SnapshotKey& key);

// The key of a version's name ("output_..." with or without ".wav" or
// ".pieces").
std::optional<SnapshotKey> ParseSnapshotName(const std::string& name);

// Names of the files (not folders) in `folder` ending in "." + ext, sorted.
std::vector<std::string> GetFileList(const fs::path& folder, const std::string& ext);

// A snapshot or a redo step.
struct Version {
  fs::path folder;
  std::string name;  // "output_...", the time it entered the history
  bool whole = false;
  bool pieces = false;
  fs::path WholePath() const { return folder / (name + ".wav"); }
  fs::path PiecesPath() const { return folder / (name + ".pieces"); }
  // What a message names it by: the whole file where there is one.
  fs::path Path() const { return whole ? WholePath() : PiecesPath(); }
};

// The versions in `folder` by the time in their names, newest first or oldest
// first; files whose names are no version's are ignored.
std::vector<Version> Versions(const fs::path& folder, bool newest_first);

// The header of a version, checked as a working file's is (CheckEditable).
Status ReadVersionHeader(const Version& version, RIFF* header);

// Writes a version's bytes as a new version of `target` through `scratch`.
Status SaveVersion(const Version& version, const fs::path& target, const fs::path& scratch);

// A name for a new version that no file holds in either folder and that sorts
// after every name in both: the clock's reading, or, when the clock reads no
// later than the newest name (a clock set back, several commands in one
// second), the newest name's time with the next free number.
std::string NewVersionName();

// Keeps the working file as it is now as the newest snapshot (a hard link, or
// a byte copy where the file system has none, and its description). Nothing to
// do without a working file; a snapshot that cannot be kept is a failure.
Status CreateVersion();

// Undo: the working file becomes the newest redo step and the newest usable
// snapshot replaces it. Damaged snapshots are named on standard error and left
// in place.
Status Discard();

// Redo: the working file becomes the newest snapshot again and the newest
// usable redo step (the one the last undo made) replaces it.
Status Redo();

// Records what the edits of one command write (RunEdit reports to it while it
// lives), so that the new working file is described as pieces of the old one
// and of the bytes the edit made.
class EditRecording {
 public:
  EditRecording();
  ~EditRecording();
  EditRecording(const EditRecording&) = delete;
  EditRecording& operator=(const EditRecording&) = delete;

 private:
  std::unique_ptr<EditRecorder> recorder_;
};

// What follows a command that may have replaced the working file (an edit, an
// import), given the working file it started from. When it was replaced: the
// new file's description takes the place of the old one, the redo steps go
// (a new branch), only the newest snapshot stays whole, and pieces no version
// uses any more are freed. Otherwise only what the command left unused goes.
Status FinishReplace(const FileIdentity& before);

// A step of the history that takes more than one change on the disk, written
// down before its first change so that a run killed midway can be finished or
// taken back by the next run. Steps that change the working file commit with
// its rename.
struct Step {
  enum class Kind {
    kReplace,  // an edit or an import: FinishReplace once the working file changed
    kUndo,     // `version` (a snapshot) replaces the working file, kept as redo step `kept`
    kRedo,     // `version` (a redo step) replaces the working file, kept as snapshot `kept`
    kClear,    // the export: the working file and the history are removed
  };
  Kind kind = Kind::kReplace;
  FileIdentity working;  // the working file when the step began
  std::string version;
  std::string kept;    // empty when there was no working file to keep
  bool whole = false;  // `version` is installed by renaming its whole file
};

// Writes the step down (`durable`: flushed to the disk first). Fails when a
// step is still written down: the workspace must be tidied first.
Status BeginStep(const Step& step, bool durable);
// The step is complete.
Status EndStep();

// Finishes or takes back the step a killed run left written down: a step that
// reached its commit is completed, one that did not is taken back as far as it
// went. The names a step makes were free when it began and it alone can have
// made them, so taking it back removes what stands there: the working file
// linked, or copied where there are no links.
Status FinishInterruptedStep();

// Removes the working file and the whole history (the export's last step).
Status ClearWorkingFileAndHistory();

}  // namespace tolva
