#pragma once

#include <cstdint>
#include <fstream>
#include <optional>
#include <string>

#include "status.h"
#include "workspace.h"

// Versions kept as pieces. A description lists, in order, the stretches of
// files that together make a version's bytes. Those files, the blobs, live in
// audio/oldversions/pieces: recordings kept whole ("N.wav", links of the
// files themselves) and the bytes that edits wrote ("N.bytes"). Blobs never
// change once a description names them, and are freed when none does.
namespace tolva {

// `length` bytes of blob `blob` from byte `offset` on.
struct Piece {
  std::string blob;
  int64_t offset = 0;
  int64_t length = 0;
};

// The file a description was written for, when it was kept whole too: its
// device, inode, size and time of last change (to the nanosecond), which tell
// it from any file made later.
struct WholeIdentity {
  uint64_t device = 0, inode = 0;
  int64_t size = -1, changed_ns = 0;
  auto operator<=>(const WholeIdentity&) const = default;
};
// The identity of the file at `path`; size -1 when there is none.
WholeIdentity WholeIdentityOf(const fs::path& path);

// Writes a description into a new file, joining pieces that continue each
// other: a first line, a line per piece, then the total, the identity of the
// file kept whole (if any) and a last line that says it is complete.
class DescriptionWriter {
 public:
  explicit DescriptionWriter(fs::path path) : path_(std::move(path)) {}
  ~DescriptionWriter();
  Status Open();
  Status Add(const Piece& piece);
  Status Finish(const std::optional<WholeIdentity>& whole);

 private:
  Status Put(const Piece& piece);
  fs::path path_;
  std::ofstream out_;
  std::optional<Piece> last_;
  int64_t bytes_ = 0;
  bool finished_ = false;
};

// Reads a description one piece at a time, whatever its length.
class DescriptionReader {
 public:
  // Reads the first line and the closing lines; a description without them
  // (cut short, damaged, no description at all) fails.
  Status Open(const fs::path& path);
  int64_t bytes() const { return bytes_; }
  const std::optional<WholeIdentity>& whole() const { return whole_; }
  // The next piece; false after the last one, or at a line that is no piece
  // (then status() says so).
  bool Next(Piece* piece);
  const Status& status() const { return status_; }

 private:
  fs::path path_;
  std::ifstream in_;
  int64_t bytes_ = 0;
  std::optional<WholeIdentity> whole_;
  Status status_ = Status::Ok();
};

// A name for a new blob, one past the highest in use: "N.wav" or "N.bytes".
std::string NewBlobName(const std::string& extension);

// Whether a description can be rebuilt: well formed, every blob there and
// long enough, the pieces adding up to its total.
Status CheckDescription(const fs::path& description);

// Appends the bytes a description stands for to `out`, piece by piece.
Status BuildFromPieces(const fs::path& description, ReplacementFile& out);

// The first `limit` bytes a description stands for (a header to read).
Status ReadPiecesPrefix(const fs::path& description, size_t limit, std::string* bytes);

// The blobs that none of `descriptions` names. Where one of them cannot be
// read through, none: what it may still need is not freed.
std::vector<std::string> UnusedBlobs(const std::vector<fs::path>& descriptions);

}  // namespace tolva
