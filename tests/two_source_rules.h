#pragma once

// Insert, mix and rate conversion written out from their rules on sample
// vectors, to check what the program wrote against.

#include <cmath>
#include <cstdlib>

#include "wav_builder.h"

namespace tolva::testing {

inline int64_t Floor(double v) {
  return static_cast<int64_t>(std::floor(v));
}

// Per whole second, frames c, 2c, ..., D × c (counted from 1, c = from / D)
// twice when raising, left out when lowering; the audio after the last whole
// second is gone. Raising more than twice (c = 0) writes frame j of a second
// floor(j × to / from) − floor((j − 1) × to / from) times.
inline Samples AtRate(const Samples& in, int channels, int from, int to) {
  if (from == to) return in;
  const int64_t d = std::abs(to - from), c = from / d;
  const int64_t seconds = static_cast<int64_t>(in.size()) / channels / from;
  Samples out;
  for (int64_t s = 0; s < seconds; ++s) {
    for (int64_t j = 1; j <= from; ++j) {
      const bool selected = c > 0 && j % c == 0 && j <= c * d;
      int64_t times = to > from ? 1 + selected : 1 - selected;
      if (c == 0) times = j * to / from - (j - 1) * to / from;
      const auto frame = in.begin() + (s * from + j - 1) * channels;
      for (; times > 0; --times) out.insert(out.end(), frame, frame + channels);
    }
  }
  return out;
}

// Mono to stereo duplicates; stereo to mono averages toward zero.
inline Samples ToChannels(const Samples& in, int from, int to) {
  if (from == to) return in;
  Samples out;
  for (size_t f = 0; f < in.size() / from; ++f) {
    if (to == 2) out.insert(out.end(), {in[f], in[f]});
    if (to == 1) out.push_back(static_cast<int16_t>((in[2 * f] + in[2 * f + 1]) / 2));
  }
  return out;
}

struct Range {
  double position, begin, end;
};

// `second` (at the working file's rate and channels) inserted into or mixed
// with `work`: P = floor(rate × position), the second source from frame
// floor(rate × begin), N = floor((end − begin) × rate) frames, each limited to
// what the files hold. `*inserted` gets the frames the working file grew by.
inline Samples TwoSourceResult(const Samples& work, const Samples& second, int channels, int rate,
                               const Range& r, bool mix, int64_t* inserted = nullptr) {
  const int64_t frames = static_cast<int64_t>(work.size()) / channels;
  const int64_t second_frames = static_cast<int64_t>(second.size()) / channels;
  const int64_t at = std::min(frames, Floor(rate * r.position));
  const int64_t first = std::min(second_frames, Floor(rate * r.begin));
  int64_t count = std::min(second_frames - first, Floor((r.end - r.begin) * rate));
  if (mix) count = std::min(count, frames - at);
  if (inserted) *inserted = mix ? 0 : count;
  Samples out(work.begin(), work.begin() + at * channels);
  for (int64_t i = 0; i < count * channels; ++i) {
    const int16_t s = second[first * channels + i];
    out.push_back(mix ? static_cast<int16_t>(std::trunc(0.5 * s + 0.5 * work[at * channels + i]))
                      : s);
  }
  out.insert(out.end(), work.begin() + (at + (mix ? count : 0)) * channels, work.end());
  return out;
}

// The header of the WAV image `wav` grown by `inserted` frames, and `samples`.
inline Bytes GrownWav(const Bytes& wav, int64_t inserted, const Samples& samples) {
  RIFF header = HeaderOf(wav);
  header.DataSize += static_cast<int32_t>(inserted * header.BlockAlign);
  header.ChunkSize += static_cast<int32_t>(inserted * header.BlockAlign);
  if (header.HasFact) header.FactData += static_cast<int32_t>(inserted);
  Bytes out = HeaderImage(header);
  for (int16_t s : samples) PutLE(out, static_cast<uint16_t>(s), 2);
  return out;
}

}  // namespace tolva::testing
