#pragma once

#include <cstdint>
#include <vector>

#include "engine.h"
#include "riff.h"
#include "status.h"
#include "workspace.h"

// The second source of an insert or a mix (audio/res1.wav) as the working file
// needs it: read block by block, brought to the working file's sample rate and
// channel count while it is read.
namespace tolva {

// How one whole second of `from` frames becomes a second of `to` frames by
// repeating or dropping whole frames, never changing a sample.
//
// Raising by D = to − from frames repeats the frames numbered c, 2c, ..., D × c
// of every second (counted from 1, c = from / D); lowering by D = from − to
// drops them. Raising by more than twice the rate leaves c at 0: every frame is
// then written floor((j + 1) × to / from) − floor(j × to / from) times, which
// spreads the repeats evenly and keeps the frames of each second in order.
class RateMap {
 public:
  RateMap(int32_t from, int32_t to);

  int32_t from() const { return static_cast<int32_t>(from_); }
  int32_t to() const { return static_cast<int32_t>(to_); }
  // Times frame j (0-based, within its second) is written.
  int64_t Copies(int64_t j) const;
  // Frames written for the frames 0 to j − 1 of a second.
  int64_t WrittenBefore(int64_t j) const;
  // The frame of a second (0-based) that written frame `o` of that second is.
  int64_t SourceOf(int64_t o) const;

 private:
  int64_t from_;
  int64_t to_;
  int64_t difference_;
  int64_t step_;
  bool raise_;
};

// Whole seconds of audio in the second source: its Seconds, but never more than
// its frames hold.
int64_t WholeSeconds(const RIFF& second);

// Frames of a second source as the working file needs them: at `rate`, with
// `channels` channels. A source of another rate reads as RateMap makes each of
// its whole seconds (what follows the last whole second is not read); one of
// another channel count is converted frame by frame (mono to stereo
// duplicates, stereo to mono averages, truncating toward zero).
class SecondSource {
 public:
  // `layout` is the header `path` was read with.
  Status Open(const fs::path& path, const RIFF& layout, int32_t rate, int channels);

  int32_t rate() const { return rate_; }
  int channels() const { return channels_; }
  int64_t frames() const { return frames_; }

  // Moves to converted frame `frame`, clamped to [0, frames()].
  void Seek(int64_t frame);
  // Reads exactly `count` converted frames; reading past the end is an error.
  Status Read(int16_t* samples, int64_t count);

 private:
  bool ConvertsRate() const { return map_.from() != map_.to(); }
  Status Fill(int64_t raw_frame);
  void Put(const int16_t* raw, int16_t* out) const;

  FrameReader raw_;
  RateMap map_{1, 1};
  int32_t rate_ = 0;
  int channels_ = 0;
  int64_t frames_ = 0;
  int64_t position_ = 0;
  // Rate conversion: the raw frame being written and the copies of it still due.
  int64_t raw_frame_ = 0;
  int64_t copies_due_ = 0;
  std::vector<int16_t> buffer_;
  int64_t buffer_first_ = 0;
  int64_t buffer_frames_ = 0;
};

}  // namespace tolva
