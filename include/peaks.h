#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "status.h"

// The minimum and maximum of the samples under each pixel column of a WAV
// file, for a picture or for a front end that draws its own.
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

}  // namespace tolva
