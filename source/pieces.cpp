#include "pieces.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <sstream>

namespace tolva {

namespace {

constexpr const char* kFirstLine = "tolva pieces 1";
// The closing lines ("bytes", "whole", "end") fit in this many bytes.
constexpr int64_t kTrailerBytes = 256;

// A blob is named by a number and what it holds; nothing else is ever opened
// from a description, so a damaged one cannot point outside the folder.
bool IsBlobName(const std::string& name) {
  const size_t dot = name.find('.');
  if (dot == 0 || dot == std::string::npos || dot > 18) return false;
  const std::string number = name.substr(0, dot), kind = name.substr(dot + 1);
  return number.find_first_not_of("0123456789") == std::string::npos &&
         (kind == "wav" || kind == "bytes");
}

Status Damaged(const fs::path& path, const std::string& why) {
  return Status::Failed(path.filename().string() + " " + why);
}

// An open blob, kept open while the pieces that follow come from it too.
class BlobFile {
 public:
  Status Use(const std::string& name) {
    if (name == name_ && fd_.valid()) return Status::Ok();
    name_ = name;
    fd_ = FileDescriptor(::open((paths::kPieces / name).c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd_.valid() || ::fstat(fd_.get(), &st) != 0) {
      return Status::Failed(ErrnoText("the piece " + name + " cannot be read"));
    }
    size_ = st.st_size;
    return Status::Ok();
  }
  Status Check(const Piece& p) const {
    if (p.offset + p.length > size_) {
      return Status::Failed("the piece " + p.blob + " is shorter than the version needs");
    }
    return Status::Ok();
  }
  int fd() const { return fd_.get(); }

 private:
  std::string name_;
  FileDescriptor fd_;
  int64_t size_ = 0;
};

// Runs `use` on each piece of `description`, with its blob open and checked,
// and checks that the pieces add up to the description's total.
template <typename Use>
Status ForEachPiece(const fs::path& description, Use use) {
  DescriptionReader reader;
  if (Status s = reader.Open(description); !s.ok()) return s;
  BlobFile blob;
  Piece piece;
  int64_t total = 0;
  while (reader.Next(&piece)) {
    if (Status s = blob.Use(piece.blob); !s.ok()) return s;
    if (Status s = blob.Check(piece); !s.ok()) return s;
    bool more = true;
    if (Status s = use(piece, blob.fd(), &more); !s.ok()) return s;
    total += piece.length;
    if (!more) return Status::Ok();
  }
  if (!reader.status().ok()) return reader.status();
  if (total != reader.bytes()) return Damaged(description, "adds up to another length");
  return Status::Ok();
}

}  // namespace

WholeIdentity WholeIdentityOf(const fs::path& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return {};
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), st.st_size,
          static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

DescriptionWriter::~DescriptionWriter() {
  if (out_.is_open() && !finished_) {
    out_.close();
    ::unlink(path_.c_str());
  }
}

Status DescriptionWriter::Open() {
  ::unlink(path_.c_str());
  out_.open(path_, std::ios::binary | std::ios::trunc);
  if (!out_) return Status::Failed(ErrnoText("cannot create " + path_.string()));
  out_ << kFirstLine << '\n';
  return Status::Ok();
}

Status DescriptionWriter::Put(const Piece& p) {
  out_ << p.blob << ' ' << p.offset << ' ' << p.length << '\n';
  return out_ ? Status::Ok() : Status::Failed(ErrnoText("cannot write " + path_.string()));
}

Status DescriptionWriter::Add(const Piece& piece) {
  if (piece.length <= 0) return Status::Ok();
  bytes_ += piece.length;
  if (last_ && last_->blob == piece.blob && last_->offset + last_->length == piece.offset) {
    last_->length += piece.length;
    return Status::Ok();
  }
  Status s = last_ ? Put(*last_) : Status::Ok();
  last_ = piece;
  return s;
}

Status DescriptionWriter::Finish(const std::optional<WholeIdentity>& whole) {
  if (last_) {
    if (Status s = Put(*last_); !s.ok()) return s;
  }
  out_ << "bytes " << bytes_ << '\n';
  if (whole) {
    out_ << "whole " << whole->device << ' ' << whole->inode << ' ' << whole->size << ' '
         << whole->changed_ns << '\n';
  }
  out_ << "end\n";
  out_.close();
  if (!out_) return Status::Failed(ErrnoText("cannot write " + path_.string()));
  finished_ = true;
  return Status::Ok();
}

Status DescriptionReader::Open(const fs::path& path) {
  path_ = path;
  in_.open(path, std::ios::binary);
  std::string line;
  if (!in_ || !std::getline(in_, line)) return Damaged(path, "cannot be read");
  if (line != kFirstLine) return Damaged(path, "is no description of pieces");
  const std::streampos pieces = in_.tellg();
  in_.seekg(0, std::ios::end);
  const int64_t size = in_.tellg();
  in_.seekg(std::max<int64_t>(pieces, size - kTrailerBytes));
  std::string tail(static_cast<size_t>(size - in_.tellg()), '\0');
  in_.read(tail.data(), static_cast<std::streamsize>(tail.size()));
  if (!in_ || !tail.ends_with("\nend\n")) return Damaged(path, "is cut short");
  std::istringstream closing(tail.substr(tail.rfind("\nbytes ") + 1));
  std::string word;
  closing >> word >> bytes_;
  if (word != "bytes" || !closing || bytes_ < 0) return Damaged(path, "gives no length");
  if (closing >> word && word == "whole") {
    WholeIdentity w;
    if (closing >> w.device >> w.inode >> w.size >> w.changed_ns) whole_ = w;
  }
  in_.clear();
  in_.seekg(pieces);
  return Status::Ok();
}

bool DescriptionReader::Next(Piece* piece) {
  std::string line;
  if (!status_.ok() || !std::getline(in_, line)) {
    if (status_.ok()) status_ = Damaged(path_, "is cut short");
    return false;
  }
  if (line.starts_with("bytes ")) return false;
  std::istringstream fields(line);
  std::string rest;
  if (!(fields >> piece->blob >> piece->offset >> piece->length) || (fields >> rest) ||
      !IsBlobName(piece->blob) || piece->offset < 0 || piece->length <= 0) {
    status_ = Damaged(path_, "holds a line that is no piece: " + line.substr(0, 60));
    return false;
  }
  return true;
}

std::string NewBlobName(const std::string& extension) {
  int64_t highest = 0;
  std::error_code ec;
  for (fs::directory_iterator it(paths::kPieces, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    highest = std::max<int64_t>(highest, std::strtoll(name.c_str(), nullptr, 10));
  }
  return std::to_string(highest + 1) + "." + extension;
}

Status CheckDescription(const fs::path& description) {
  return ForEachPiece(description, [](const Piece&, int, bool*) { return Status::Ok(); });
}

Status BuildFromPieces(const fs::path& description, ReplacementFile& out) {
  return ForEachPiece(description, [&](const Piece& p, int fd, bool*) {
    return AppendRange(fd, p.offset, p.length, out);
  });
}

Status ReadPiecesPrefix(const fs::path& description, size_t limit, std::string* bytes) {
  bytes->clear();
  return ForEachPiece(description, [&](const Piece& p, int fd, bool* more) {
    const size_t want = std::min<size_t>(limit - bytes->size(), static_cast<size_t>(p.length));
    const size_t at = bytes->size();
    bytes->resize(at + want);
    if (::pread(fd, bytes->data() + at, want, p.offset) != static_cast<ssize_t>(want)) {
      return Status::Failed(ErrnoText("the piece " + p.blob + " cannot be read"));
    }
    *more = bytes->size() < limit;
    return Status::Ok();
  });
}

std::vector<std::string> UnusedBlobs(const std::vector<fs::path>& descriptions) {
  std::set<std::string> used;
  for (const fs::path& description : descriptions) {
    DescriptionReader reader;
    if (!reader.Open(description).ok()) return {};
    for (Piece piece; reader.Next(&piece);) used.insert(piece.blob);
    if (!reader.status().ok()) return {};
  }
  std::vector<std::string> unused;
  std::error_code ec;
  for (fs::directory_iterator it(paths::kPieces, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!used.contains(name)) unused.push_back(name);
  }
  std::sort(unused.begin(), unused.end());
  return unused;
}

}  // namespace tolva
