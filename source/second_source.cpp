#include "second_source.h"

#include <algorithm>

namespace tolva {

namespace {

// Frames of a second source read at once, at least as many as a working-file
// block takes.
constexpr int64_t kSourceBlockFrames = 1 << 14;

}  // namespace

RateMap::RateMap(int32_t from, int32_t to) : from_(from), to_(to), raise_(to > from) {
  difference_ = raise_ ? to_ - from_ : from_ - to_;
  step_ = difference_ == 0 ? 0 : from_ / difference_;
}

int64_t RateMap::Copies(int64_t j) const {
  if (difference_ == 0) return 1;
  if (raise_ && step_ == 0) return (j + 1) * to_ / from_ - j * to_ / from_;
  const int64_t number = j + 1;
  const bool selected = number % step_ == 0 && number <= step_ * difference_;
  if (raise_) return selected ? 2 : 1;
  return selected ? 0 : 1;
}

int64_t RateMap::WrittenBefore(int64_t j) const {
  if (difference_ == 0) return j;
  if (raise_ && step_ == 0) return j * to_ / from_;
  const int64_t selected = std::min(j / step_, difference_);
  return raise_ ? j + selected : j - selected;
}

int64_t RateMap::SourceOf(int64_t o) const {
  // The last frame whose writing starts at or before o.
  int64_t low = 0, high = from_ - 1;
  while (low < high) {
    const int64_t mid = low + (high - low + 1) / 2;
    if (WrittenBefore(mid) <= o) {
      low = mid;
    } else {
      high = mid - 1;
    }
  }
  return low;
}

int64_t WholeSeconds(const RIFF& second) {
  if (second.SampleRate <= 0) return 0;
  return std::clamp<int64_t>(FrameCount(second) / second.SampleRate, 0, second.Seconds);
}

Status SecondSource::Open(const fs::path& path, const RIFF& layout, int32_t rate, int channels) {
  if (layout.SampleRate <= 0 || rate <= 0 || (channels != 1 && channels != 2)) {
    return Status::Failed(path.string() + " has no usable sample rate or channel count");
  }
  if (Status s = raw_.Open(path, layout); !s.ok()) return s;
  rate_ = rate;
  channels_ = channels;
  map_ = RateMap(layout.SampleRate, rate);
  frames_ = ConvertsRate() ? WholeSeconds(layout) * rate : raw_.frames();
  buffer_.resize(static_cast<size_t>(kSourceBlockFrames * raw_.channels()));
  buffer_frames_ = 0;
  Seek(0);
  return Status::Ok();
}

void SecondSource::Seek(int64_t frame) {
  position_ = std::clamp<int64_t>(frame, 0, frames_);
  if (!ConvertsRate()) {
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
  if (!ConvertsRate() && raw_channels == channels_) {  // read as it stands
    Status s = raw_.Read(samples, count);
    position_ += count;
    return s;
  }
  if (!ConvertsRate()) {
    for (int64_t done = 0; done < count;) {
      const int64_t n = std::min(count - done, kSourceBlockFrames);
      if (Status s = raw_.Read(buffer_.data(), n); !s.ok()) return s;
      for (int64_t k = 0; k < n; ++k) {
        Put(buffer_.data() + k * raw_channels, samples + (done + k) * channels_);
      }
      done += n;
    }
    position_ += count;
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

}  // namespace tolva
