#include "engine.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "progress.h"

namespace tolva {

namespace {

int64_t ClampFrames(double frames, int64_t limit) {
  if (!(frames > 0)) return 0;
  if (frames >= static_cast<double>(limit)) return limit;
  return static_cast<int64_t>(frames);
}

}  // namespace

void SwapIfBigEndian([[maybe_unused]] int16_t* samples, [[maybe_unused]] size_t count) {
  if constexpr (std::endian::native == std::endian::big) {
    for (size_t i = 0; i < count; ++i) {
      uint16_t v = static_cast<uint16_t>(samples[i]);
      samples[i] = static_cast<int16_t>(static_cast<uint16_t>(v << 8 | v >> 8));
    }
  }
}

EngineOptions& Engine() {
  static EngineOptions options;
  return options;
}

int64_t FrameOf(const RIFF& record, double t, int64_t limit) {
  return ClampFrames(std::floor(static_cast<double>(record.SampleRate) * t), limit);
}

int64_t DurationFrames(const RIFF& record, double begin, double end, int64_t limit) {
  return ClampFrames(std::floor((end - begin) * static_cast<double>(record.SampleRate)), limit);
}

Status FrameReader::Open(const fs::path& path, const RIFF& record) {
  path_ = path;
  if (record.BitsPerSample != 16 || (record.NumChannels != 1 && record.NumChannels != 2) ||
      record.DataOffset < 0) {
    return Status::Failed(path.string() + " is not 16-bit mono or stereo PCM");
  }
  fd_ = FileDescriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd_.valid()) return Status::Failed(ErrnoText("cannot open " + path.string()));
  channels_ = record.NumChannels;
  data_offset_ = record.DataOffset;
  frames_ = record.DataSize / frame_bytes();
  trailing_ = record.DataSize - frames_ * frame_bytes();
  position_ = 0;
  return Status::Ok();
}

void FrameReader::Seek(int64_t frame) {
  position_ = std::clamp<int64_t>(frame, 0, frames_);
}

Status FrameReader::Read(int16_t* samples, int64_t count) {
  if (count < 0 || count > remaining()) {
    return Status::Failed("internal error: read past the data chunk of " + path_.string());
  }
  char* dst = reinterpret_cast<char*>(samples);
  size_t want = static_cast<size_t>(count * frame_bytes());
  off_t offset = ByteOffsetOf(position_);
  while (want > 0) {
    ssize_t n = ::pread(fd_.get(), dst, want, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Status::Failed(ErrnoText("cannot read " + path_.string()));
    if (n == 0) return Status::Failed("cannot read " + path_.string() + ": the file ended early");
    dst += n;
    offset += n;
    want -= static_cast<size_t>(n);
  }
  SwapIfBigEndian(samples, static_cast<size_t>(count * channels_));
  position_ += count;
  return Status::Ok();
}

namespace {
EditRecorder* active_recorder = nullptr;
}  // namespace

void SetEditRecorder(EditRecorder* recorder) {
  active_recorder = recorder;
}

Edit::Edit(const RIFF& source, const RIFF& result)
    : source_record_(source),
      result_record_(result),
      recorder_(active_recorder),
      out_(paths::kScratch),
      block_frames_(std::max<int64_t>(1, Engine().block_frames)) {}

Status Edit::Keep(Status s) {
  if (status_.ok() && !s.ok()) status_ = std::move(s);
  return status_;
}

Status Edit::Open() {
  if (!status_.ok()) return status_;
  if (Status s = source_.Open(paths::kWorking, source_record_); !s.ok()) return Keep(s);
  block_.resize(static_cast<size_t>(block_frames_ * source_.channels()));
  if (Status s = out_.Open(); !s.ok()) return Keep(s);
  if (Status s = PutFile(result_record_, out_); !s.ok()) return Keep(s);
  if (recorder_ == nullptr) return Status::Ok();
  const int64_t header = out_.size();
  Status s = recorder_->Began(header + result_record_.DataSize);
  if (s.ok()) s = recorder_->Wrote(header);
  return Keep(s);
}

Status Edit::Read(int16_t* samples, int64_t count) {
  if (!status_.ok()) return status_;
  return Keep(source_.Read(samples, count));
}

Status Edit::Flush() {
  if (pending_.empty()) return Status::Ok();
  Status s = out_.Write(pending_.data(), pending_.size());
  pending_.clear();
  ReportProgress(out_.size() - result_record_.DataOffset, result_record_.DataSize);
  return s;
}

// The frames, in the file's byte order, at the end of what is to be written;
// the recorder hears of them as copied from `source_offset` of the source or,
// when that is negative, as made by the edit.
Status Edit::Append(const int16_t* samples, int64_t count, int64_t source_offset) {
  const size_t bytes = static_cast<size_t>(count * source_.frame_bytes());
  const size_t old = pending_.size();
  pending_.resize(old + bytes);
  std::memcpy(pending_.data() + old, samples, bytes);
  SwapIfBigEndian(reinterpret_cast<int16_t*>(pending_.data() + old), bytes / 2);
  if (recorder_ != nullptr) {
    Status s = source_offset >= 0 ? recorder_->Copied(source_offset, static_cast<int64_t>(bytes))
                                  : recorder_->Wrote(static_cast<int64_t>(bytes));
    if (!s.ok()) return s;
  }
  if (pending_.size() >= static_cast<size_t>(block_frames_ * source_.frame_bytes())) {
    return Flush();
  }
  return Status::Ok();
}

Status Edit::Emit(const int16_t* samples, int64_t count) {
  if (!status_.ok()) return status_;
  if (count <= 0) return Status::Ok();
  return Keep(Append(samples, count, -1));
}

Status Edit::CopyThroughBuffer(int64_t count) {
  while (count > 0) {
    const int64_t n = std::min(count, block_frames_);
    const int64_t offset = source_.ByteOffsetOf(source_.position());
    if (Status s = source_.Read(block_.data(), n); !s.ok()) return s;
    if (Status s = Append(block_.data(), n, offset); !s.ok()) return s;
    count -= n;
  }
  return Status::Ok();
}

Status Edit::Copy(int64_t count) {
  if (!status_.ok()) return status_;
  int64_t bytes = count * source_.frame_bytes();
  int64_t threshold = Engine().kernel_copy_min_bytes;
  if (threshold < 0 || bytes < threshold || count > source_.remaining()) {
    return Keep(CopyThroughBuffer(count));
  }
  const int64_t offset = source_.ByteOffsetOf(source_.position());
  if (Status s = AppendSource(offset, bytes); !s.ok()) return s;
  source_.Seek(source_.position() + count);
  return Status::Ok();
}

// Bytes of the source copied as they are, past the frames written so far.
Status Edit::AppendSource(int64_t offset, int64_t bytes) {
  if (Status s = Flush(); !s.ok()) return Keep(s);
  if (Status s = AppendRange(source_.fd(), offset, bytes, out_, Engine().kernel_copy_block,
                             Engine().copies);
      !s.ok()) {
    return Keep(s);
  }
  return recorder_ == nullptr ? Status::Ok() : Keep(recorder_->Copied(offset, bytes));
}

Status Edit::CopyRest() {
  int64_t last = source_.frames();
  if (Status s = Copy(source_.remaining()); !s.ok()) return s;
  if (source_.trailing_bytes() == 0) return Status::Ok();
  return AppendSource(source_.ByteOffsetOf(last), source_.trailing_bytes());
}

Status Edit::Transform(int64_t count, const SampleFn& fn) {
  if (!status_.ok()) return status_;
  while (count > 0) {
    int64_t n = std::min(count, block_frames_);
    if (Status s = source_.Read(block_.data(), n); !s.ok()) return Keep(s);
    fn(block_.data(), n);
    if (Status s = Emit(block_.data(), n); !s.ok()) return s;
    count -= n;
  }
  return Status::Ok();
}

Status Edit::Commit() {
  if (!status_.ok()) {
    out_.Abandon();
    return status_;
  }
  if (Status s = Flush(); !s.ok()) return Keep(s);
  int64_t expected = static_cast<int64_t>(HeaderImage(result_record_).size()) +
                     static_cast<int64_t>(result_record_.DataSize);
  if (out_.size() != expected) {
    out_.Abandon();
    return Status::Failed("internal error: the new " + paths::kWorking.string() + " would hold " +
                          std::to_string(out_.size()) + " bytes, its header announces " +
                          std::to_string(expected));
  }
  // The recorder writes what it keeps before the new file is flushed, so that
  // one flush commits both.
  if (recorder_ != nullptr) {
    if (Status s = recorder_->Completed(out_.path()); !s.ok()) {
      out_.Abandon();
      return Keep(s);
    }
  }
  if (Status s = out_.Close(ReplacementFile::Flush::kToDisk); !s.ok()) return Keep(s);
  if (recorder_ != nullptr) {
    if (Status s = recorder_->Flushed(); !s.ok()) {
      out_.Abandon();
      return Keep(s);
    }
  }
  return Keep(out_.RenameTo(paths::kWorking));
}

Status RunEdit(const RIFF& source, const RIFF& result, const std::function<Status(Edit&)>& body) {
  Edit edit(source, result);
  Status status = edit.Open();
  if (status.ok()) status = body(edit);
  Status committed = edit.Commit();
  return status.ok() ? committed : status;
}

}  // namespace tolva
