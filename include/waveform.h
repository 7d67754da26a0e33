#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "peaks.h"
#include "status.h"

// Pictures of a WAV file's peaks (peaks.h), drawn as a PNG.
namespace tolva {

struct PictureOptions {
  int height = 240;
  std::optional<std::pair<double, double>> range;  // seconds, shaded
};

// Height of the time ruler under the lanes; the lanes share the rest equally.
constexpr int kRulerHeight = 20;

// One lane per channel, each column a line from its minimum to its maximum
// (full scale fills the lane, silence is one row at its middle), the range
// shaded, a time ruler with labelled ticks below.
Status DrawWaveform(const Peaks& peaks, const PictureOptions& options, const fs::path& png);

// The colours a picture uses, for those who read it back.
struct Rgb {
  uint8_t r, g, b;
  bool operator==(const Rgb&) const = default;
};
inline constexpr Rgb kWaveColour{31, 78, 160};

}  // namespace tolva
