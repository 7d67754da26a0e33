#include "waveform.h"

#include <png.h>

#include <cstring>

#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

// A picture read back a character a pixel: W wave, s shade, . paper, # ruler and labels.
struct Picture {
  int width = 0, height = 0;
  std::string ink;  // row by row
  std::string Column(int x, int rows) const {
    std::string column;
    for (int y = 0; y < rows && y < height; ++y) column += ink[y * width + x];
    return column;
  }
};

// The picture the binary draws of `samples` at 1 Hz (a second a frame).
Picture Draw(int channels, const Samples& samples, int width, int height, Strings more = {}) {
  Workspace ws(BuildWav({.channels = channels, .rate = 1}, samples));
  more.insert(more.begin(), {"waveform", "p.png", "--width", std::to_string(width), "--height",
                             std::to_string(height)});
  ws.RunBinary({.args = more});
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, (ws.root() / "p.png").c_str())) return {};
  image.format = PNG_FORMAT_RGB;
  std::vector<Rgb> pixels(PNG_IMAGE_SIZE(image) / 3);
  png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr);
  Picture p{static_cast<int>(image.width), static_cast<int>(image.height), ""};
  for (Rgb c : pixels)
    p.ink += c == kWaveColour          ? 'W'
             : c == Rgb{255, 255, 255} ? '.'
             : c == Rgb{214, 228, 250} ? 's'
                                       : '#';
  return p;
}

// The lanes share the height above the 20-row ruler equally; full scale fills
// a lane, a value v sits (32767 - v) x (lane - 1) / 65535 rows below its top.
// One column for two frames, its minimum and maximum; a range shades its lanes.
TEST(Waveform, EachChannelHasItsLaneAboveTheRuler) {
  const std::tuple<int, Samples, int, Strings, const char*> cases[] = {
      // channels, frames, height, more options, the column down to the rule
      {1, {-32768, 32767}, 24, {}, "WWWW#"},
      {1, {0, 0}, 24, {}, ".W..#"},
      {1, {0, 0}, 24, {"--range", "1", "2"}, "sWss#"},
      {2, {-32768, 0, 32767, 0}, 24, {}, "WWW.#"},
      {2, {0, -32768, 32767, -1}, 28, {}, "WW...WWW#"}};
  for (const auto& [channels, samples, height, more, column] : cases) {
    const Picture p = Draw(channels, samples, 1, height, more);
    EXPECT_EQ(p.Column(0, std::strlen(column)), column) << height;
  }
}

// Ticks at the first step of 1, 2, 5, 10, 15, 30 s ... 10 h, 1 day whose labels (m:ss or h:mm:ss,
// 8 pixels a glyph) keep 16 pixels apart, none if none does. In 40 rows the rule is row 20, labels
// start at row 27, 2 pixels right of their tick; two glyphs from x, 3 x 5 cells of 2 x 2 pixels.
TEST(Waveform, TheRulerTicksTheFirstStepWhoseLabelsFit) {
  const std::tuple<int64_t, int, const char*, int, const char*> cases[] = {
      {16, 384, "0 48 96 144 192 240 288 336 ", 210, "####.##.##.########.#####.####"},  // 08
      {120, 192, "0 48 96 144 ", 154, "....#.....#....###..####..####"},                 // :3
      {3600, 400, "0 100 200 300 ", 318, "#.##.####..#..#####..###..####"},              // 45
      {36000, 144, "0 72 ", 114, "####.##.##.########.##.##.####"},                      // 00
      {172800, 100, "", 0, ".............................."},  // no step fits
  };
  for (const auto& [seconds, width, ticks, x, glyphs] : cases) {
    const Picture p = Draw(1, Samples(seconds, 0), width, 40);
    std::string inked, cells;
    for (int i = 0; i < p.width; ++i)
      if (p.ink[23 * p.width + i] == '#') inked += std::to_string(i) + " ";
    for (int i = 0; i < 30; ++i)
      cells += p.ink[(27 + i % 15 / 3 * 2) * p.width + x + i / 15 * 8 + i % 3 * 2];
    EXPECT_EQ(inked, ticks) << seconds;
    EXPECT_EQ(cells, glyphs) << seconds;
  }
}

// Column x holds frames [x × frames / width, (x + 1) × frames / width); one
// with no frame of its own shows the next one's; a file without audio is flat.
// A million frames take more than one block of the reader.
TEST(Waveform, PeaksHoldEachColumnsMinimumAndMaximum) {
  Samples quarters(1 << 20);
  for (size_t i = 0; i < quarters.size(); ++i) quarters[i] = static_cast<int16_t>(i >> 18);
  const Samples four = {1, -1, -2, 2, 3, -3, -4, 4};
  const std::tuple<int, Samples, const char*, const char*> cases[] = {
      {2, four, "3",
       "4, \"width\": 3, \"channels\": [[[1, 1], [-2, -2], [-4, 3]], "
       "[[-1, -1], [2, 2], [-3, 4]]]"},
      {2, four, "6",
       "4, \"width\": 6, \"channels\": [[[1, 1], [1, 1], [-2, -2], [3, 3], "
       "[3, 3], [-4, -4]], [[-1, -1], [-1, -1], [2, 2], [-3, -3], [-3, -3], [4, 4]]]"},
      {1, {}, "2", "0, \"width\": 2, \"channels\": [[[0, 0], [0, 0]]]"},
      {1, quarters, "4",
       "1048576, \"width\": 4, \"channels\": [[[0, 0], [1, 1], [2, 2], [3, 3]]]"}};
  for (const auto& [channels, samples, width, peaks] : cases) {
    Workspace ws(BuildWav({.channels = channels, .rate = 8000}, samples));
    ws.RunBinary({.args = {"waveform", "--peaks", "p.json", "--width", width}});
    const Bytes json = ws.Get("p.json");
    EXPECT_EQ(std::string(json.begin(), json.end()),
              std::string("{\"sample_rate\": 8000, \"frames\": ") + peaks + "}\n");
  }
}

}  // namespace
}  // namespace tolva::testing
