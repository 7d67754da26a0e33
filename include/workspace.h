#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "status.h"

namespace tolva {

namespace fs = std::filesystem;

// Every file the system keeps under audio/, relative to the workspace (the
// current directory).
namespace paths {
inline const fs::path kAudio = "audio";
inline const fs::path kCommand = "audio/tolvaset.in";
inline const fs::path kImportMp3 = "audio/res.mp3";
inline const fs::path kImportWav = "audio/res.wav";
inline const fs::path kSecondMp3 = "audio/res1.mp3";
inline const fs::path kSecondWav = "audio/res1.wav";
inline const fs::path kWorking = "audio/output.wav";
inline const fs::path kScratch = "audio/temp.wav";
inline const fs::path kExportMp3 = "audio/output.mp3";
inline const fs::path kScratchMp3 = "audio/temp.mp3";
inline const fs::path kSnapshots = "audio/oldversions";
inline const fs::path kRedoSteps = "audio/oldversions/redo";
inline const fs::path kDropped = "audio/oldversions/dropped";
inline const fs::path kPieces = "audio/oldversions/pieces";
// The history step in progress (see history.h); none between runs.
inline const fs::path kStep = "audio/.tolva-step";
}  // namespace paths

// An open file descriptor, closed when this object goes away.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { Close(); }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.Release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes it now: false when close reports an error (for a file written to,
  // data that may not have reached it).
  bool Close();
  int Release();

 private:
  int fd_ = -1;
};

// Holds the workspace for one run: an exclusive lock on the audio folder
// itself, released when this object goes away (or the process ends).
class WorkspaceLock {
 private:
  friend Status LockWorkspace(WorkspaceLock* lock);
  FileDescriptor folder_;
};

// Waits until no other run holds the workspace, then holds it. Every way in
// takes it before it reads its command, so that two runs started at once take
// turns instead of writing over each other. Without an audio folder there is
// nothing to hold.
Status LockWorkspace(WorkspaceLock* lock);

// Removes the scratch files a killed run may have left (links at their names
// are removed, not followed), the copies of versions it was making among them.
// Call with the workspace held, before a command.
void RemoveLeftovers();

// A new version of a file, written to a scratch file of its own and renamed over
// its target only when complete. Until then the target is untouched; a scratch
// file that is not committed is removed when this object goes away.
class ReplacementFile {
 public:
  explicit ReplacementFile(fs::path scratch) : scratch_(std::move(scratch)) {}
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // Creates the scratch file exclusively (never through a symbolic link); a
  // stale scratch file of an interrupted run is removed first.
  Status Open();
  // Writes all `size` bytes or fails (a full disk is a failure, not a short file).
  Status Write(const void* data, size_t size);
  // Leaves `bytes` bytes unwritten (a hole, where the file system has them).
  Status Skip(int64_t bytes);
  // Writes from `offset` on, over bytes already written (a header whose sizes
  // are known only at the end) or past them (an encoder that seeks).
  Status WriteAt(const void* data, size_t size, int64_t offset);
  Status WriteAt(const std::vector<uint8_t>& bytes, int64_t offset) {
    return WriteAt(bytes.data(), bytes.size(), offset);
  }
  // Flushes the file's data to the disk, closes it and renames it over
  // `target`. The rename is atomic: after a crash or a power loss the target is
  // the old file or the complete new one (SyncFolder makes the rename itself
  // durable where a later step depends on it). A file that can be made again
  // from a source that stays on the disk (a decoded MP3) may skip the flush.
  // With Replace::kNo the file is put in place only where no file stands yet.
  enum class Flush { kToDisk, kSkip };
  enum class Replace { kYes, kNo };
  Status CommitAs(const fs::path& target, Flush flush = Flush::kToDisk,
                  Replace replace = Replace::kYes);
  // CommitAs in two steps, for work that must happen between the complete
  // file and its rename: Close flushes and closes it, RenameTo puts it in place.
  Status Close(Flush flush);
  Status RenameTo(const fs::path& target, Replace replace = Replace::kYes);
  // Starts writing the file's data to the disk without waiting for it, so that
  // the flush of another file commits this one's blocks too and its own flush
  // later finds little left to do.
  void StartWriteback();
  // Removes the scratch file now.
  void Abandon();

  int fd() const { return fd_.get(); }
  const fs::path& path() const { return scratch_; }
  // Block size of the file system the file is on (1 when it is not known).
  int64_t block_size() const { return block_size_; }
  // Whether its file system shares extents between files (XFS with reflink,
  // btrfs), so that a kernel copy costs no new blocks.
  bool shares_extents() const { return shares_extents_; }
  // Bytes written so far, through Write or through the descriptor.
  int64_t size() const { return size_; }
  void AddWritten(int64_t bytes) { size_ += bytes; }

 private:
  fs::path scratch_;
  FileDescriptor fd_;
  bool owns_scratch_ = false;  // from Open until renamed or abandoned
  int64_t size_ = 0;
  int64_t block_size_ = 1;
  bool shares_extents_ = false;
};

// Makes the renames done in `folder` durable.
Status SyncFolder(const fs::path& folder);

// "what: reason" for the current errno.
std::string ErrnoText(const std::string& what);

// Opens `path` for reading into `*fd`: "there is no <path>" when it is missing,
// "cannot open <path>: reason" when it cannot be opened.
Status OpenToRead(const fs::path& path, FileDescriptor* fd);

// Size of a regular file; -1 when it does not exist or is no regular file.
int64_t FileSize(const fs::path& path);
bool Exists(const fs::path& path);

// Removes a file; a file that is not there is no error.
Status RemoveFile(const fs::path& path);
// Creates a folder; one that is there already is no error.
Status MakeFolder(const fs::path& path);
// Removes a folder with everything in it as it is: links are removed, never
// followed; subfolders with their contents. A missing folder is no error.
Status RemoveFolder(const fs::path& path);
// Renames `from` over `to` in one step.
Status RenameOver(const fs::path& from, const fs::path& to);

// Which file a name stands for: device and inode, or {0, 0} for no file.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};
FileIdentity IdentityOf(const fs::path& path);

// Whether two names are links of one file.
bool SameFile(const fs::path& a, const fs::path& b);

// Makes `from` the file at `to` and removes the name `from`. Unlike a bare
// rename it also works when both are links of one file (rename then does
// nothing at all): the name `from` is removed and `to` keeps its bytes.
Status MoveOver(const fs::path& from, const fs::path& to);

// Makes `to` (which must not exist) hold the bytes of `from`: a hard link where
// the file system allows one, a byte copy otherwise (written beside `to` as
// "<to>.part" and put in place complete). `*existed` is set when `to` is there
// already, which is then left alone.
Status LinkOrCopy(const fs::path& from, const fs::path& to, bool* existed);

// Copies a whole file into a new version of `to` (through ReplacementFile).
Status CopyFile(const fs::path& from, const fs::path& to, const fs::path& scratch,
                ReplacementFile::Replace replace = ReplacementFile::Replace::kYes);

// Writes `size` bytes as a new version of `target` (outside audio/ too), through
// a scratch file beside it; not flushed, as it can be made again.
Status WriteWholeFile(const fs::path& target, const void* bytes, size_t size);

// Creates `path`, which must not exist, holding `text` (flushed to the disk
// first when `durable`).
Status WriteNewFile(const fs::path& path, const std::string& text, bool durable);

// The scratch file for a new version of a file outside audio/: beside it, so
// that the rename stays on one file system.
fs::path ScratchBeside(const fs::path& target);

// The absolute path of `path` with links and dots resolved as far as it
// exists; nothing when that cannot be found out.
std::optional<fs::path> Resolved(const fs::path& path);

// Whether `file` lies in audio/ or below it, where the files are tolva's own:
// a picture or an MP3 that a person asks for must not replace one of them.
// True as well when the paths cannot be resolved.
bool InAudioFolder(const fs::path& file);

// Reads at most `limit` bytes from the start of a file.
Status ReadPrefix(const fs::path& path, size_t limit, std::string* out);

}  // namespace tolva

namespace tolva {
// How AppendRange copies: in the kernel where the file system shares the
// blocks a copy leaves unchanged (kAuto), always in the kernel, or always
// through a buffer.
enum class CopyPath { kAuto, kKernel, kBuffer };

// Appends `length` bytes of `in_fd`, from `offset`, to `out` at its current
// end. On a file system with shared extents the kernel copies them
// (copy_file_range) and shares what it can: where `offset` and the end of
// `out` agree modulo `block` (0: out's file system block size), the unaligned
// head and tail go through the buffer and only whole blocks to the kernel,
// which shares only blocks whose source and destination offsets are both
// block-aligned. Elsewhere a buffer of 1 MiB carries them: a mix of written
// headers and kernel copies flushes markedly slower on ext4 than either alone
// (and buffers of 4 MiB copied at half the speed on the machine measured).
Status AppendRange(int in_fd, int64_t offset, int64_t length, ReplacementFile& out,
                   int64_t block = 0, CopyPath path = CopyPath::kAuto);
}  // namespace tolva
