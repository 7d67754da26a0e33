#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "riff.h"
#include "status.h"
#include "workspace.h"

namespace tolva {

// Knobs of the streaming core. Output bytes never depend on them; the tests run
// every effect with several settings to prove it.
struct EngineOptions {
  // Frames moved per block (read, transformed and written at once).
  int64_t block_frames = 1 << 16;
  // Unchanged stretches of at least this many bytes are copied by AppendRange
  // (by the kernel where it shares blocks); a negative value turns that off.
  int64_t kernel_copy_min_bytes = 1 << 20;
  // Block size that kernel copies align to (0: the file system's own).
  int64_t kernel_copy_block = 0;
  // How those stretches are copied.
  CopyPath copies = CopyPath::kAuto;
};
EngineOptions& Engine();

// Samples are stored little-endian; this turns them into the host's order and
// back (a no-op on little-endian hosts).
void SwapIfBigEndian(int16_t* samples, size_t count);

// The sample frames of one file's data chunk, read at any frame position.
// Samples are signed 16-bit, channels interleaved, in the host's byte order.
class FrameReader {
 public:
  FrameReader() = default;
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;

  // Opens `path`, whose header is `record` (16-bit, 1 or 2 channels).
  Status Open(const fs::path& path, const RIFF& record);

  int channels() const { return channels_; }
  int frame_bytes() const { return 2 * channels_; }
  // Whole frames in the data chunk.
  int64_t frames() const { return frames_; }
  // Bytes after the last whole frame that the data chunk still holds.
  int64_t trailing_bytes() const { return trailing_; }
  int64_t position() const { return position_; }
  int64_t remaining() const { return frames_ - position_; }
  int fd() const { return fd_.get(); }
  int64_t ByteOffsetOf(int64_t frame) const { return data_offset_ + frame * frame_bytes(); }

  // Moves to `frame`, clamped to [0, frames()].
  void Seek(int64_t frame);
  // Reads exactly `count` frames; reading past the data chunk is an error.
  Status Read(int16_t* samples, int64_t count);

 private:
  fs::path path_;
  FileDescriptor fd_;
  int channels_ = 0;
  int64_t data_offset_ = 0;
  int64_t frames_ = 0;
  int64_t trailing_ = 0;
  int64_t position_ = 0;
};

// What an edit writes, told stretch by stretch in the order of the new file,
// for a history that keeps versions as pieces: bytes copied from the source
// file (at a byte offset of it), or bytes the edit made itself.
class EditRecorder {
 public:
  virtual ~EditRecorder() = default;
  // The new file will hold `total_bytes` bytes.
  virtual Status Began(int64_t total_bytes) = 0;
  virtual Status Copied(int64_t source_offset, int64_t length) = 0;
  virtual Status Wrote(int64_t length) = 0;
  // The new file is complete at `scratch`, about to be flushed to the disk.
  virtual Status Completed(const fs::path& scratch) = 0;
  // The new file is on the disk, about to be renamed over its target.
  virtual Status Flushed() = 0;
};

// The recorder that the edits RunEdit makes report to (none: nullptr).
void SetEditRecorder(EditRecorder* recorder);

// One new version of a file: its header image, then the frames that the
// effect's stretches produce, strictly in order. The source is only read; the
// result replaces the target at Commit, and only when it holds exactly the
// bytes its header announces.
//
// Errors are sticky: after the first failure every later call does nothing and
// returns it again, and Commit reports it, so an effect can be written as a
// plain sequence of stretches.
class Edit {
 public:
  using SampleFn = std::function<void(int16_t* samples, int64_t frames)>;

  // `source` is the header the working file was read with, `result` the header
  // of the new version (the effect's size changes already applied). The
  // recorder SetEditRecorder set, if any, hears of every stretch.
  Edit(const RIFF& source, const RIFF& result);

  // Opens the source and writes the result's header image.
  Status Open();

  FrameReader& source() { return source_; }
  int channels() const { return source_.channels(); }

  // Copies `count` frames unchanged from the source position.
  Status Copy(int64_t count);
  // Copies every frame (and trailing byte) from the source position to the end.
  Status CopyRest();
  // Reads `count` frames, lets `fn` change them block by block, writes them.
  Status Transform(int64_t count, const SampleFn& fn);
  // Writes frames that the effect produced itself.
  Status Emit(const int16_t* samples, int64_t count);
  // Moves the source position.
  void Seek(int64_t frame) { source_.Seek(frame); }
  // Reads frames of the source for an effect that arranges them itself.
  Status Read(int16_t* samples, int64_t count);

  // Frames per block; effects size their own buffers with it.
  int64_t block_frames() const { return block_frames_; }

  // Checks the size, flushes and renames the result over the target.
  Status Commit();

 private:
  Status Flush();
  Status Append(const int16_t* samples, int64_t count, int64_t source_offset);
  Status CopyThroughBuffer(int64_t count);
  Status AppendSource(int64_t offset, int64_t bytes);
  Status Keep(Status s);

  Status status_ = Status::Ok();
  RIFF source_record_;
  RIFF result_record_;
  EditRecorder* recorder_;
  FrameReader source_;
  ReplacementFile out_;
  int64_t block_frames_;
  std::vector<int16_t> block_;
  std::vector<uint8_t> pending_;
};

// Runs one effect: opens an Edit of the working file, lets `body` issue the
// stretches, commits. The body returns its last stretch's status, or a
// failure of its own (a second file that cannot be read); either way the first
// failure is reported and nothing is installed.
Status RunEdit(const RIFF& source, const RIFF& result, const std::function<Status(Edit&)>& body);

// floor(SampleRate × t), clamped to [0, limit]: the frame of a time.
int64_t FrameOf(const RIFF& record, double t, int64_t limit);
// floor((end − begin) × SampleRate), clamped to [0, limit]: a range counted by
// its duration, which can be a frame shorter than FrameOf(end) − FrameOf(begin).
int64_t DurationFrames(const RIFF& record, double begin, double end, int64_t limit);

}  // namespace tolva
