#include "workspace.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

namespace tolva {

namespace {

constexpr size_t kCopyBuffer = 1 << 20;

// At the file position, or from `offset` on when it is not negative.
Status WriteAll(int fd, const void* data, size_t size, const fs::path& path, int64_t offset = -1) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n =
        offset < 0 ? ::write(fd, p, size) : ::pwrite(fd, p, size, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::Failed(ErrnoText("cannot write " + path.string()));
    }
    p += n;
    size -= static_cast<size_t>(n);
    if (offset >= 0) offset += n;
  }
  return Status::Ok();
}

Status BufferedAppend(int in_fd, int64_t offset, int64_t length, ReplacementFile& out) {
  std::vector<char> buffer(static_cast<size_t>(std::min<int64_t>(length, kCopyBuffer)));
  while (length > 0) {
    size_t want = static_cast<size_t>(std::min<int64_t>(length, buffer.size()));
    ssize_t n = ::pread(in_fd, buffer.data(), want, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Status::Failed(ErrnoText("cannot read"));
    if (n == 0) return Status::Failed("cannot read: the file ended early");
    if (Status s = out.Write(buffer.data(), static_cast<size_t>(n)); !s.ok()) return s;
    offset += n;
    length -= n;
  }
  return Status::Ok();
}

}  // namespace

std::string ErrnoText(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

Status OpenToRead(const fs::path& path, FileDescriptor* fd) {
  // Into `*fd` only once open: closing what it held could change errno.
  FileDescriptor opened(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!opened.valid()) {
    if (errno == ENOENT) return Status::Failed("there is no " + path.string());
    return Status::Failed(ErrnoText("cannot open " + path.string()));
  }
  *fd = std::move(opened);
  return Status::Ok();
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.Release();
  }
  return *this;
}

bool FileDescriptor::Close() {
  if (fd_ < 0) return true;
  const int fd = Release();
  return ::close(fd) == 0;
}

int FileDescriptor::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

Status SyncFolder(const fs::path& folder) {
  const fs::path name = folder.empty() ? fs::path(".") : folder;
  FileDescriptor fd(::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return Status::Failed(ErrnoText("cannot open " + name.string()));
  if (::fsync(fd.get()) != 0) return Status::Failed(ErrnoText("cannot flush " + name.string()));
  return Status::Ok();
}

namespace {

// Whether the file system that holds `folder` shares extents between files
// (XFS with reflink, btrfs): a clone of a block within a file made there for
// the purpose, asked once per file system and run.
bool SharesExtents(const fs::path& folder) {
  static std::map<dev_t, bool> known;
  struct stat st;
  if (::stat(folder.empty() ? "." : folder.c_str(), &st) != 0) return false;
  if (auto it = known.find(st.st_dev); it != known.end()) return it->second;
  bool shares = false;
  FileDescriptor probe(::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_RDWR, 0600));
  struct statvfs vfs;
  if (probe.valid() && ::fstatvfs(probe.get(), &vfs) == 0 && vfs.f_bsize > 0) {
    const std::vector<char> block(vfs.f_bsize, 0);
    file_clone_range clone{};
    clone.src_fd = probe.get();
    clone.src_length = block.size();
    clone.dest_offset = block.size();
    shares = WriteAll(probe.get(), block.data(), block.size(), folder).ok() &&
             ::ioctl(probe.get(), FICLONERANGE, &clone) == 0;
  }
  known[st.st_dev] = shares;
  return shares;
}

}  // namespace

ReplacementFile::~ReplacementFile() {
  Abandon();
}

Status ReplacementFile::Open() {
  Abandon();
  ::unlink(scratch_.c_str());
  fd_ = FileDescriptor(
      ::open(scratch_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd_.valid()) return Status::Failed(ErrnoText("cannot create " + scratch_.string()));
  owns_scratch_ = true;
  size_ = 0;
  struct statvfs vfs;
  block_size_ = ::fstatvfs(fd_.get(), &vfs) == 0 && vfs.f_bsize > 0 ? vfs.f_bsize : 1;
  shares_extents_ = SharesExtents(scratch_.parent_path());
  return Status::Ok();
}

Status ReplacementFile::Skip(int64_t bytes) {
  if (bytes <= 0) return Status::Ok();
  if (::ftruncate(fd_.get(), size_ + bytes) != 0 ||
      ::lseek(fd_.get(), size_ + bytes, SEEK_SET) < 0) {
    return Status::Failed(ErrnoText("cannot write " + scratch_.string()));
  }
  size_ += bytes;
  return Status::Ok();
}

Status ReplacementFile::WriteAt(const void* data, size_t size, int64_t offset) {
  if (Status s = WriteAll(fd_.get(), data, size, scratch_, offset); !s.ok()) return s;
  size_ = std::max(size_, offset + static_cast<int64_t>(size));
  return Status::Ok();
}

Status ReplacementFile::Write(const void* data, size_t size) {
  if (Status s = WriteAll(fd_.get(), data, size, scratch_); !s.ok()) return s;
  size_ += static_cast<int64_t>(size);
  return Status::Ok();
}

namespace {

// rename(2) without replacing: renameat2 where the file system has it; the
// workspace lock keeps the check and the rename together elsewhere.
int RenameNoReplace(const fs::path& from, const fs::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  if (Exists(to)) {
    errno = EEXIST;
    return -1;
  }
  return ::rename(from.c_str(), to.c_str());
}

}  // namespace

Status ReplacementFile::CommitAs(const fs::path& target, Flush flush, Replace replace) {
  if (Status s = Close(flush); !s.ok()) return s;
  return RenameTo(target, replace);
}

Status ReplacementFile::Close(Flush flush) {
  if (flush == Flush::kToDisk && ::fdatasync(fd_.get()) != 0) {
    return Status::Failed(ErrnoText("cannot write " + scratch_.string()));
  }
  if (!fd_.Close()) {
    Abandon();
    return Status::Failed(ErrnoText("cannot write " + scratch_.string()));
  }
  return Status::Ok();
}

void ReplacementFile::StartWriteback() {
  ::sync_file_range(fd_.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
}

Status ReplacementFile::RenameTo(const fs::path& target, Replace replace) {
  const int renamed = replace == Replace::kYes ? ::rename(scratch_.c_str(), target.c_str())
                                               : RenameNoReplace(scratch_, target);
  if (renamed != 0) {
    Status failed = Status::Failed(ErrnoText("cannot replace " + target.string()));
    Abandon();
    return failed;
  }
  owns_scratch_ = false;
  return Status::Ok();
}

void ReplacementFile::Abandon() {
  fd_.Close();
  if (owns_scratch_) ::unlink(scratch_.c_str());
  owns_scratch_ = false;
}

int64_t FileSize(const fs::path& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

bool Exists(const fs::path& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

Status RemoveFile(const fs::path& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    return Status::Failed(ErrnoText("cannot remove " + path.string()));
  }
  return Status::Ok();
}

Status MakeFolder(const fs::path& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    return Status::Failed(ErrnoText("cannot create " + path.string()));
  }
  return Status::Ok();
}

Status RemoveFolder(const fs::path& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
  if (ec) return Status::Failed("cannot remove " + path.string() + ": " + ec.message());
  return Status::Ok();
}

Status RenameOver(const fs::path& from, const fs::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    return Status::Failed(ErrnoText("cannot move " + from.string() + " to " + to.string()));
  }
  return Status::Ok();
}

FileIdentity IdentityOf(const fs::path& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return {};
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

bool SameFile(const fs::path& a, const fs::path& b) {
  const FileIdentity ia = IdentityOf(a);
  return ia != FileIdentity{} && ia == IdentityOf(b);
}

Status MoveOver(const fs::path& from, const fs::path& to) {
  if (SameFile(from, to)) return RemoveFile(from);
  return RenameOver(from, to);
}

Status LockWorkspace(WorkspaceLock* lock) {
  FileDescriptor folder(::open(paths::kAudio.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid() && errno == ENOENT) return Status::Ok();
  if (!folder.valid()) return Status::Failed(ErrnoText("cannot open " + paths::kAudio.string()));
  while (::flock(folder.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return Status::Failed(ErrnoText("cannot lock " + paths::kAudio.string()));
  }
  lock->folder_ = std::move(folder);
  return Status::Ok();
}

void RemoveLeftovers() {
  for (const fs::path& scratch :
       {paths::kScratch, paths::kScratchMp3, paths::kImportWav, paths::kSecondWav}) {
    ::unlink(scratch.c_str());
  }
  for (const fs::path& folder : {paths::kSnapshots, paths::kRedoSteps, paths::kPieces}) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->path().filename().string().ends_with(".part")) ::unlink(it->path().c_str());
    }
  }
}

namespace {

Status KernelAppend(int in_fd, int64_t offset, int64_t length, ReplacementFile& out) {
  while (length > 0) {
    loff_t in_off = offset;
    ssize_t n = ::copy_file_range(in_fd, &in_off, out.fd(), nullptr,
                                  static_cast<size_t>(std::min<int64_t>(length, 1 << 30)), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
                  errno == EBADF || errno == EPERM)) {
      return BufferedAppend(in_fd, offset, length, out);
    }
    if (n < 0) return Status::Failed(ErrnoText("cannot write " + out.path().string()));
    if (n == 0) return Status::Failed("cannot read: the file ended early");
    out.AddWritten(n);
    offset += n;
    length -= n;
  }
  return Status::Ok();
}

}  // namespace

Status AppendRange(int in_fd, int64_t offset, int64_t length, ReplacementFile& out, int64_t block,
                   CopyPath path) {
  const bool kernel =
      path == CopyPath::kKernel || (path == CopyPath::kAuto && out.shares_extents());
  if (!kernel) return BufferedAppend(in_fd, offset, length, out);
  if (block <= 0) block = out.block_size();
  const int64_t at = out.size();
  if (block > 1 && offset % block == at % block) {
    const int64_t head = std::min(length, (block - at % block) % block);
    const int64_t middle = (length - head) / block * block;
    if (middle > 0) {
      if (Status s = BufferedAppend(in_fd, offset, head, out); !s.ok()) return s;
      if (Status s = KernelAppend(in_fd, offset + head, middle, out); !s.ok()) return s;
      return BufferedAppend(in_fd, offset + head + middle, length - head - middle, out);
    }
  }
  return KernelAppend(in_fd, offset, length, out);
}

Status LinkOrCopy(const fs::path& from, const fs::path& to, bool* existed) {
  *existed = false;
  if (::link(from.c_str(), to.c_str()) == 0) return Status::Ok();
  if (errno == EEXIST) {
    *existed = true;
    return Status::Ok();
  }
  if (errno == ENOENT || errno == ENOSPC || errno == EROFS || errno == EACCES) {
    return Status::Failed(ErrnoText("cannot keep " + from.string() + " as " + to.string()));
  }
  // No links here (EPERM, EXDEV, EMLINK, ...): copy the bytes into a file that
  // only appears under its name once it is complete, and never over another.
  if (Exists(to)) {
    *existed = true;
    return Status::Ok();
  }
  fs::path scratch = to;
  scratch += ".part";
  return CopyFile(from, to, scratch, ReplacementFile::Replace::kNo);
}

Status CopyFile(const fs::path& from, const fs::path& to, const fs::path& scratch,
                ReplacementFile::Replace replace) {
  FileDescriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return Status::Failed(ErrnoText("cannot open " + from.string()));
  struct stat st;
  if (::fstat(in.get(), &st) != 0) return Status::Failed(ErrnoText("cannot read " + from.string()));
  ReplacementFile out(scratch);
  if (Status s = out.Open(); !s.ok()) return s;
  if (Status s = AppendRange(in.get(), 0, st.st_size, out); !s.ok()) return s;
  return out.CommitAs(to, ReplacementFile::Flush::kToDisk, replace);
}

Status WriteWholeFile(const fs::path& target, const void* bytes, size_t size) {
  ReplacementFile out(ScratchBeside(target));
  if (Status s = out.Open(); !s.ok()) return s;
  if (Status s = out.Write(bytes, size); !s.ok()) return s;
  return out.CommitAs(target, ReplacementFile::Flush::kSkip);
}

Status WriteNewFile(const fs::path& path, const std::string& text, bool durable) {
  FileDescriptor fd(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd.valid()) return Status::Failed(ErrnoText("cannot create " + path.string()));
  Status s = WriteAll(fd.get(), text.data(), text.size(), path);
  if (s.ok() && durable && ::fdatasync(fd.get()) != 0) {
    s = Status::Failed(ErrnoText("cannot write " + path.string()));
  }
  if (!fd.Close() && s.ok()) s = Status::Failed(ErrnoText("cannot write " + path.string()));
  if (!s.ok()) ::unlink(path.c_str());
  return s;
}

Status ReadPrefix(const fs::path& path, size_t limit, std::string* out) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return Status::Failed(ErrnoText("cannot open " + path.string()));
  out->assign(limit, '\0');
  size_t got = 0;
  while (got < limit) {
    ssize_t n = ::read(fd.get(), out->data() + got, limit - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Status::Failed(ErrnoText("cannot read " + path.string()));
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  out->resize(got);
  return Status::Ok();
}

fs::path ScratchBeside(const fs::path& target) {
  std::string name = target.filename().string();
  name.insert(name.begin(), '.');
  name += ".tolva-part";
  return target.parent_path() / name;
}

std::optional<fs::path> Resolved(const fs::path& path) {
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec);
  if (ec) return std::nullopt;
  fs::path resolved = fs::weakly_canonical(absolute, ec);
  if (ec || resolved.empty()) return std::nullopt;
  return resolved;
}

bool InAudioFolder(const fs::path& file) {
  const std::optional<fs::path> folder = Resolved(paths::kAudio), target = Resolved(file);
  if (!folder || !target) return true;  // what cannot be told apart is kept out
  auto [in_folder, in_target] =
      std::mismatch(folder->begin(), folder->end(), target->begin(), target->end());
  return in_folder == folder->end();
}

}  // namespace tolva
