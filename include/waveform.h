#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "status.h"

// Pictures of a WAV file: the minimum and maximum of the samples under each
// pixel column, drawn as a PNG or written as numbers for a front end that
// draws its own.
namespace tolva {

namespace fs = std::filesystem;

struct Peaks {
  int channels = 0;
  int rate = 0;
  int64_t frames = 0;
  int width = 0;
  // Indexed [channel * width + column].
  std::vector<int16_t> min, max;
};

// Column x covers the frames [x × frames / width, (x + 1) × frames / width); a
// column that covers none (fewer frames than columns) shows the frame at its
// start. Reads the file once, block by block.
Status ComputePeaks(const fs::path& wav, int width, Peaks* peaks);

// {"sample_rate": R, "frames": N, "width": W, "channels": [[[min, max], ...], ...]}
Status WritePeaksJson(const Peaks& peaks, const fs::path& json);

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
