#include "waveform.h"

#include <png.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <string>

#include "engine.h"
#include "progress.h"
#include "riff.h"
#include "workspace.h"

namespace tolva {

namespace {

constexpr int64_t kBlockFrames = 1 << 19;
// Samples compared side by side; a multiple of every channel count, so that
// position k always holds channel k % channels.
constexpr int kLanes = 32;

// Widens the per-channel minimum and maximum by `count` interleaved samples
// starting at a frame boundary.
void Accumulate(const int16_t* s, int64_t count, int channels, int16_t* lo, int16_t* hi) {
  // Written so that the compiler turns the inner loop into vector min and max.
  int16_t vlo[kLanes], vhi[kLanes];
  for (int k = 0; k < kLanes; ++k) {
    vlo[k] = INT16_MAX;
    vhi[k] = INT16_MIN;
  }
  const int64_t rows = count / kLanes;
  for (int64_t row = 0; row < rows; ++row) {
    const int16_t* p = s + row * kLanes;
    for (int k = 0; k < kLanes; ++k) {
      vlo[k] = p[k] < vlo[k] ? p[k] : vlo[k];
      vhi[k] = p[k] > vhi[k] ? p[k] : vhi[k];
    }
  }
  for (int k = 0; k < kLanes; ++k) {
    lo[k % channels] = std::min(lo[k % channels], vlo[k]);
    hi[k % channels] = std::max(hi[k % channels], vhi[k]);
  }
  for (int64_t i = rows * kLanes; i < count; ++i) {
    const int c = static_cast<int>(i % channels);
    lo[c] = std::min(lo[c], s[i]);
    hi[c] = std::max(hi[c], s[i]);
  }
}

// The frames of a data chunk, block by block. Where the samples can be used as
// they lie in the file (a little-endian host, an even data offset) they are
// mapped window by window rather than copied: the copy would be most of the
// cost of reading a file that is in the page cache.
class FrameBlocks {
 public:
  ~FrameBlocks() { Unmap(); }

  Status Open(const fs::path& wav, const RIFF& record) {
    if (Status s = reader_.Open(wav, record); !s.ok()) return s;
    mapped_ = std::endian::native == std::endian::little && reader_.ByteOffsetOf(0) % 2 == 0;
    if (!mapped_) buffer_.resize(static_cast<size_t>(kBlockFrames * reader_.channels()));
    return Status::Ok();
  }
  const FrameReader& reader() const { return reader_; }

  // The next block; `*frames` is 0 at the end.
  Status Next(const int16_t** samples, int64_t* frames) {
    *frames = std::min(kBlockFrames, reader_.remaining());
    if (*frames == 0) return Status::Ok();
    if (!mapped_) {
      *samples = buffer_.data();
      return reader_.Read(buffer_.data(), *frames);
    }
    Unmap();
    static const int64_t page = ::sysconf(_SC_PAGESIZE);
    const int64_t first = reader_.ByteOffsetOf(reader_.position());
    const int64_t start = first / page * page;
    length_ = static_cast<size_t>(first - start + *frames * reader_.frame_bytes());
    map_ = ::mmap(nullptr, length_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, reader_.fd(), start);
    if (map_ == MAP_FAILED) {
      map_ = nullptr;
      return Status::Failed(ErrnoText("cannot read the working file"));
    }
    *samples = reinterpret_cast<const int16_t*>(static_cast<const char*>(map_) + (first - start));
    reader_.Seek(reader_.position() + *frames);
    return Status::Ok();
  }

 private:
  void Unmap() {
    if (map_ != nullptr) ::munmap(map_, length_);
    map_ = nullptr;
  }

  FrameReader reader_;
  bool mapped_ = false;
  std::vector<int16_t> buffer_;
  void* map_ = nullptr;
  size_t length_ = 0;
};

Status WriteWhole(const fs::path& target, const void* bytes, size_t size) {
  ReplacementFile out(ScratchBeside(target));
  if (Status s = out.Open(); !s.ok()) return s;
  if (Status s = out.Write(bytes, size); !s.ok()) return s;
  return out.CommitAs(target, ReplacementFile::Flush::kSkip);
}

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
    return WriteWhole(path, png.data(), size);
  }

 private:
  int width_, height_;
  std::vector<uint8_t> pixels_;
};

std::string ClockText(int64_t seconds, bool hours) {
  char text[32];
  if (hours) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  }
  return text;
}

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
  const int label_pixels = static_cast<int>(ClockText(0, hours).size()) * kGlyphAdvance;
  const int64_t step = TickStep(seconds, width, label_pixels);
  for (int64_t t = 0; step > 0 && static_cast<double>(t) < seconds; t += step) {
    const int x = static_cast<int>(static_cast<double>(t) * width / seconds);
    canvas.Column(x, top, top + 5, kText);
    if (x + 2 + label_pixels <= width) canvas.Text(x + 2, top + 7, ClockText(t, hours), kText);
  }
}

}  // namespace

Status ComputePeaks(const fs::path& wav, int width, Peaks* peaks) {
  RIFF record{};
  if (Status s = ReadEditableHeader(wav, wav.string(), &record); !s.ok()) return s;
  FrameBlocks blocks;
  if (Status s = blocks.Open(wav, record); !s.ok()) return s;
  const int channels = blocks.reader().channels();
  const int64_t frames = blocks.reader().frames();
  Peaks p;
  p.channels = channels;
  p.rate = record.SampleRate;
  p.frames = frames;
  p.width = width;
  p.min.assign(static_cast<size_t>(channels) * width, frames > 0 ? INT16_MAX : 0);
  p.max.assign(static_cast<size_t>(channels) * width, frames > 0 ? INT16_MIN : 0);
  std::vector<bool> covers(static_cast<size_t>(width), false);
  auto column_end = [&](int64_t x) { return (x + 1) * frames / width; };

  int64_t x = 0, end_of_x = column_end(0);
  for (int64_t frame = 0; frame < frames;) {
    const int16_t* block = nullptr;
    int64_t n = 0;
    if (Status s = blocks.Next(&block, &n); !s.ok()) return s;
    for (int64_t i = 0; i < n;) {
      while (frame + i >= end_of_x) end_of_x = column_end(++x);
      const int64_t stop = std::min(n, end_of_x - frame);
      int16_t lo[2], hi[2];
      for (int c = 0; c < channels; ++c) {
        lo[c] = p.min[c * width + x];
        hi[c] = p.max[c * width + x];
      }
      Accumulate(block + i * channels, (stop - i) * channels, channels, lo, hi);
      for (int c = 0; c < channels; ++c) {
        p.min[c * width + x] = lo[c];
        p.max[c * width + x] = hi[c];
      }
      covers[x] = true;
      i = stop;
    }
    frame += n;
    ReportProgress(frame, frames);
  }
  // An empty column lies just before the column that holds its starting frame.
  for (int64_t col = width - 2; frames > 0 && col >= 0; --col) {
    if (covers[col]) continue;
    for (int c = 0; c < channels; ++c) {
      p.min[c * width + col] = p.min[c * width + col + 1];
      p.max[c * width + col] = p.max[c * width + col + 1];
    }
  }
  *peaks = std::move(p);
  return Status::Ok();
}

Status WritePeaksJson(const Peaks& peaks, const fs::path& json) {
  std::string text = "{\"sample_rate\": " + std::to_string(peaks.rate) +
                     ", \"frames\": " + std::to_string(peaks.frames) +
                     ", \"width\": " + std::to_string(peaks.width) + ", \"channels\": [";
  for (int c = 0; c < peaks.channels; ++c) {
    text += c == 0 ? "[" : ", [";
    for (int x = 0; x < peaks.width; ++x) {
      const size_t i = static_cast<size_t>(c) * peaks.width + x;
      text += (x == 0 ? "[" : ", [") + std::to_string(peaks.min[i]) + ", " +
              std::to_string(peaks.max[i]) + "]";
    }
    text += "]";
  }
  text += "]}\n";
  return WriteWhole(json, text.data(), text.size());
}

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
