#include <algorithm>
#include <limits>
#include <vector>

#include "effects.h"
#include "engine.h"
#include "lengths.h"
#include "second_source.h"

namespace tolva {

namespace {

// Frames of a second source at least as large as a working-file block.
constexpr int64_t kSourceBlockFrames = 1 << 14;

// A record that only carries a sample rate, for FrameOf and DurationFrames.
RIFF AtRate(int32_t rate) {
  RIFF r{};
  r.SampleRate = rate;
  return r;
}

Status TakeFrames(Edit& edit, SecondSource& second, int64_t count) {
  std::vector<int16_t> frames(static_cast<size_t>(edit.block_frames() * second.channels()));
  while (count > 0) {
    const int64_t n = std::min(count, edit.block_frames());
    if (Status s = second.Read(frames.data(), n); !s.ok()) return s;
    if (Status s = edit.Emit(frames.data(), n); !s.ok()) return s;
    count -= n;
  }
  return Status::Ok();
}

Status MixFrames(Edit& edit, SecondSource& second, int64_t count) {
  const size_t samples = static_cast<size_t>(edit.block_frames() * edit.channels());
  std::vector<int16_t> working(samples), other(samples);
  while (count > 0) {
    const int64_t n = std::min(count, edit.block_frames());
    if (Status s = edit.Read(working.data(), n); !s.ok()) return s;
    if (Status s = second.Read(other.data(), n); !s.ok()) return s;
    for (int64_t i = 0; i < n * edit.channels(); ++i) {
      working[i] = static_cast<int16_t>((working[i] + other[i]) / 2);
    }
    if (Status s = edit.Emit(working.data(), n); !s.ok()) return s;
    count -= n;
  }
  return Status::Ok();
}

// The data chunk of audio/res1.wav as its own header gives it, never past the
// end of the file.
int64_t SecondDataBytes(const RIFF& layout) {
  const int64_t in_file = std::max<int64_t>(0, FileSize(paths::kSecondWav) - layout.DataOffset);
  RIFF own{};
  if (!GetInfo(own, kSecondSourceWav)) return in_file;
  return std::clamp<int64_t>(own.DataSize, 0, in_file);
}

template <typename Op>
Status WithSecondWav(const RIFF& working, const RIFF& second, Op op) {
  SecondSource source;
  Status status = OpenSecondWav(second, working.NumChannels, &source);
  if (status.ok()) status = op(source);
  Status removed = RemoveFile(paths::kSecondWav);
  return status.ok() ? removed : status;
}

}  // namespace

Status SecondSource::Open(const fs::path& path, const RIFF& layout, int64_t data_bytes,
                          int32_t rate, int channels) {
  if (layout.SampleRate <= 0 || rate <= 0 || (channels != 1 && channels != 2)) {
    return Status::Failed(path.string() + " has no usable sample rate or channel count");
  }
  RIFF extent = layout;
  extent.DataSize =
      static_cast<int32_t>(std::clamp<int64_t>(data_bytes, 0, std::numeric_limits<int32_t>::max()));
  if (Status s = raw_.Open(path, extent); !s.ok()) return s;
  rate_ = rate;
  channels_ = channels;
  convert_rate_ = layout.SampleRate != rate;
  map_ = RateMap(layout.SampleRate, rate);
  frames_ = convert_rate_ ? WholeSeconds(extent) * rate : raw_.frames();
  buffer_.resize(static_cast<size_t>(kSourceBlockFrames * raw_.channels()));
  buffer_frames_ = 0;
  Seek(0);
  return Status::Ok();
}

void SecondSource::Seek(int64_t frame) {
  position_ = std::clamp<int64_t>(frame, 0, frames_);
  if (!convert_rate_) {
    raw_.Seek(position_);
    return;
  }
  const int64_t second = position_ / map_.to(), within = position_ % map_.to();
  const int64_t j = map_.SourceOf(within);
  raw_frame_ = second * map_.from() + j;
  copies_due_ = map_.WrittenBefore(j + 1) - within;
}

Status SecondSource::Fill(int64_t raw_frame) {
  if (raw_frame >= buffer_first_ && raw_frame < buffer_first_ + buffer_frames_) return Status::Ok();
  raw_.Seek(raw_frame);
  buffer_first_ = raw_frame;
  buffer_frames_ = std::min<int64_t>(kSourceBlockFrames, raw_.remaining());
  return raw_.Read(buffer_.data(), buffer_frames_);
}

void SecondSource::Put(const int16_t* raw, int16_t* out) const {
  if (raw_.channels() == channels_) {
    std::copy(raw, raw + channels_, out);
  } else if (channels_ == 2) {
    out[0] = out[1] = raw[0];
  } else {
    out[0] = static_cast<int16_t>((raw[0] + raw[1]) / 2);
  }
}

Status SecondSource::Read(int16_t* samples, int64_t count) {
  if (count < 0 || count > frames_ - position_) {
    return Status::Failed("internal error: read past the end of the second source");
  }
  const int raw_channels = raw_.channels();
  if (!convert_rate_) {
    for (int64_t done = 0; done < count;) {
      const int64_t n = std::min(count - done, kSourceBlockFrames);
      if (Status s = raw_.Read(buffer_.data(), n); !s.ok()) return s;
      for (int64_t k = 0; k < n; ++k) {
        Put(buffer_.data() + k * raw_channels, samples + (done + k) * channels_);
      }
      done += n;
    }
    position_ += count;
    buffer_frames_ = 0;
    return Status::Ok();
  }
  for (int64_t done = 0; done < count;) {
    while (copies_due_ == 0) copies_due_ = map_.Copies(++raw_frame_ % map_.from());
    if (Status s = Fill(raw_frame_); !s.ok()) return s;
    const int16_t* raw = buffer_.data() + (raw_frame_ - buffer_first_) * raw_channels;
    for (; copies_due_ > 0 && done < count; --copies_due_, ++done) {
      Put(raw, samples + done * channels_);
    }
  }
  position_ += count;
  return Status::Ok();
}

Status OpenSecondWav(const RIFF& second, int channels, SecondSource* source) {
  return source->Open(paths::kSecondWav, second, SecondDataBytes(second), second.SampleRate,
                      channels);
}

Status MergeFrom(RIFF& working, SecondSource& second, double position, double begin, double end) {
  const int64_t total = FrameCount(working);
  const int64_t at = FrameOf(working, position, total);
  const RIFF rate = AtRate(second.rate());
  const int64_t first = FrameOf(rate, begin, second.frames());
  const int64_t count = DurationFrames(rate, begin, end, second.frames() - first);
  RIFF result;
  if (Status s = Resized(working, count, &result); !s.ok()) return s;
  Status status = RunEdit(working, result, [&](Edit& edit) {
    if (Status s = edit.Copy(at); !s.ok()) return s;
    second.Seek(first);
    if (Status s = TakeFrames(edit, second, count); !s.ok()) return s;
    return edit.CopyRest();
  });
  if (status.ok()) working = result;
  return status;
}

Status CombineFrom(const RIFF& working, SecondSource& second, double position, double begin,
                   double end) {
  const int64_t total = FrameCount(working);
  const int64_t at = FrameOf(working, position, total);
  const RIFF rate = AtRate(second.rate());
  const int64_t first = FrameOf(rate, begin, second.frames());
  const int64_t count =
      DurationFrames(rate, begin, end, std::min(second.frames() - first, total - at));
  return RunEdit(working, working, [&](Edit& edit) {
    if (Status s = edit.Copy(at); !s.ok()) return s;
    second.Seek(first);
    if (Status s = MixFrames(edit, second, count); !s.ok()) return s;
    return edit.CopyRest();
  });
}

Status Merge(RIFF& working, const RIFF& second, double position, double begin, double end) {
  return WithSecondWav(working, second, [&](SecondSource& source) {
    return MergeFrom(working, source, position, begin, end);
  });
}

Status Combine(RIFF& working, const RIFF& second, double position, double begin, double end) {
  return WithSecondWav(working, second, [&](SecondSource& source) {
    return CombineFrom(working, source, position, begin, end);
  });
}

}  // namespace tolva
