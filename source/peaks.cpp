#include "peaks.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
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
  return WriteWholeFile(json, text.data(), text.size());
}

}  // namespace tolva
