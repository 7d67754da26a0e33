#include "waveform.h"

#include <png.h>

#include <algorithm>
#include <array>
#include <string>

#include "times.h"
#include "workspace.h"

namespace tolva {

namespace {

// Digits and the colon, 3 × 5 pixels, one row per byte (bit 2 leftmost).
constexpr std::array<std::array<uint8_t, 5>, 11> kGlyphs{{
    {7, 5, 5, 5, 7},
    {2, 6, 2, 2, 7},
    {7, 1, 7, 4, 7},
    {7, 1, 7, 1, 7},
    {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7},
    {7, 4, 7, 5, 7},
    {7, 1, 2, 2, 2},
    {7, 5, 7, 5, 7},
    {7, 5, 7, 1, 7},
    {0, 2, 0, 2, 0},
}};
constexpr int kGlyphScale = 2;
constexpr int kGlyphAdvance = 4 * kGlyphScale;

// The few colours of a picture, stored as indices into a palette: a third of
// the bytes of RGB for the PNG encoder to compress.
enum Ink : uint8_t { kPaper, kShade, kWave, kRule, kText };
constexpr Rgb kPalette[] = {
    {255, 255, 255}, {214, 228, 250}, kWaveColour, {160, 160, 160}, {60, 60, 60}};

class Canvas {
 public:
  Canvas(int width, int height)
      : width_(width), height_(height), pixels_(static_cast<size_t>(width) * height, kPaper) {}

  void Set(int x, int y, Ink ink) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
    pixels_[static_cast<size_t>(y) * width_ + x] = ink;
  }
  void Column(int x, int top, int bottom, Ink ink) {
    for (int y = top; y <= bottom; ++y) Set(x, y, ink);
  }
  void Text(int x, int y, const std::string& text, Ink ink) {
    for (char ch : text) {
      const auto& glyph = kGlyphs[ch == ':' ? 10 : ch - '0'];
      for (int row = 0; row < 5 * kGlyphScale; ++row) {
        for (int col = 0; col < 3 * kGlyphScale; ++col) {
          if (glyph[row / kGlyphScale] >> (2 - col / kGlyphScale) & 1) Set(x + col, y + row, ink);
        }
      }
      x += kGlyphAdvance;
    }
  }

  Status WritePng(const fs::path& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width_);
    image.height = static_cast<png_uint_32>(height_);
    image.format = PNG_FORMAT_RGB_COLORMAP;
    image.colormap_entries = std::size(kPalette);
    std::array<uint8_t, 3 * std::size(kPalette)> colours;
    for (size_t i = 0; i < std::size(kPalette); ++i) {
      colours[3 * i] = kPalette[i].r;
      colours[3 * i + 1] = kPalette[i].g;
      colours[3 * i + 2] = kPalette[i].b;
    }
    png_alloc_size_t size = 0;
    std::vector<uint8_t> png;
    for (int pass = 0; pass < 2; ++pass) {  // the first pass measures
      if (!png_image_write_to_memory(&image, pass ? png.data() : nullptr, &size, 0, pixels_.data(),
                                     0, colours.data())) {
        return Status::Failed(std::string("cannot encode the picture: ") + image.message);
      }
      png.resize(size);
    }
    return WriteWholeFile(path, png.data(), size);
  }

 private:
  int width_, height_;
  std::vector<uint8_t> pixels_;
};

// The smallest tick spacing whose labels do not run into each other.
int64_t TickStep(double seconds, int width, int label_pixels) {
  static const int64_t kSteps[] = {1,   2,   5,    10,   15,   30,    60,    120,  300,
                                   600, 900, 1800, 3600, 7200, 18000, 36000, 86400};
  for (int64_t step : kSteps) {
    if (static_cast<double>(step) * width / seconds >= label_pixels + 16) return step;
  }
  return 0;
}

void DrawRuler(Canvas& canvas, int top, int width, double seconds) {
  for (int x = 0; x < width; ++x) canvas.Set(x, top, kRule);
  if (!(seconds > 0)) return;
  const bool hours = seconds >= 3600;
  const int label_pixels = static_cast<int>(ClockTime(0, 0, hours).size()) * kGlyphAdvance;
  const int64_t step = TickStep(seconds, width, label_pixels);
  for (int64_t t = 0; step > 0 && static_cast<double>(t) < seconds; t += step) {
    const int x = static_cast<int>(static_cast<double>(t) * width / seconds);
    canvas.Column(x, top, top + 5, kText);
    if (x + 2 + label_pixels <= width)
      canvas.Text(x + 2, top + 7, ClockTime(static_cast<double>(t), 0, hours), kText);
  }
}

}  // namespace

Status DrawWaveform(const Peaks& peaks, const PictureOptions& options, const fs::path& png) {
  const int width = peaks.width, height = options.height;
  const int lane = (height - kRulerHeight) / std::max(1, peaks.channels);
  if (width < 1 || lane < 1) return Status::Failed("the picture is too small for its lanes");
  Canvas canvas(width, height);
  const double seconds = peaks.rate > 0 ? static_cast<double>(peaks.frames) / peaks.rate : 0;
  for (int x = 0; options.range && seconds > 0 && x < width; ++x) {
    const double from = seconds * x / width, to = seconds * (x + 1) / width;
    if (to <= options.range->first || from >= options.range->second) continue;
    canvas.Column(x, 0, lane * peaks.channels - 1, kShade);
  }
  for (int c = 0; c < peaks.channels; ++c) {
    const int top = c * lane;
    auto row_of = [&](int v) {
      return top + static_cast<int>((32767 - v) * int64_t{lane - 1} / 65535);
    };
    for (int x = 0; x < width; ++x) {
      const size_t i = static_cast<size_t>(c) * width + x;
      canvas.Column(x, row_of(peaks.max[i]), row_of(peaks.min[i]), kWave);
    }
  }
  DrawRuler(canvas, lane * peaks.channels, width, seconds);
  return canvas.WritePng(png);
}

}  // namespace tolva
