#include <algorithm>
#include <vector>

#include "effects.h"
#include "engine.h"
#include "second_source.h"
#include "stretch.h"

namespace tolva {

namespace {

void ConvertSeconds(Edit& edit, const RateMap& map, int64_t seconds) {
  const int channels = edit.channels();
  const int64_t block = std::min<int64_t>(edit.block_frames(), map.from());
  std::vector<int16_t> in(static_cast<size_t>(block * channels));
  RepeatWriter out(edit, 1);
  for (int64_t s = 0; s < seconds; ++s) {
    for (int64_t j = 0; j < map.from();) {
      const int64_t n = std::min(block, map.from() - j);
      if (!edit.Read(in.data(), n).ok()) return;
      for (int64_t k = 0; k < n; ++k, ++j) out.PutFrame(in.data() + k * channels, map.Copies(j));
    }
  }
  out.Flush();
}

Status ConvertSecondWav(RIFF& second, int rate) {
  RIFF result;
  if (Status s = ConvertedRecord(second, rate, &result); !s.ok()) return s;
  const RateMap map(second.SampleRate, rate);
  const int64_t seconds = WholeSeconds(second);
  Edit edit(second, result, paths::kSecondWav, paths::kSecondWav);
  if (edit.Open().ok()) ConvertSeconds(edit, map, seconds);
  Status status = edit.Commit();
  if (status.ok()) second = result;
  return status;
}

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

Status ConvertedRecord(const RIFF& second, int32_t rate, RIFF* result) {
  const int64_t seconds = WholeSeconds(second);
  const int64_t data = seconds * rate * FrameBytes(second);
  const int64_t chunk = static_cast<int64_t>(second.ChunkSize) + data - second.DataSize;
  const int64_t fact = seconds * rate;
  if (!FitsInt32(data) || !FitsInt32(chunk) || (second.HasFact && !FitsInt32(fact))) {
    return Status::Refused("the second source at " + std::to_string(rate) +
                           " frames per second would not fit the 32-bit sizes of a WAV file");
  }
  RIFF r = second;
  r.SampleRate = rate;
  // A 32-bit product, as the header field holds it.
  r.ByteRate = static_cast<int32_t>(static_cast<int64_t>(second.BlockAlign) * rate);
  if (r.HasFact) r.FactData = static_cast<int32_t>(fact);
  r.DataSize = static_cast<int32_t>(data);
  r.ChunkSize = static_cast<int32_t>(chunk);
  *result = r;
  return Status::Ok();
}

Status RaiseSample(RIFF& second, int rate) {
  if (second.SampleRate <= 0 || rate <= second.SampleRate) {
    return Status::Refused("raising the sample rate needs a higher rate");
  }
  return ConvertSecondWav(second, rate);
}

Status LowerSample(RIFF& second, int rate) {
  if (rate <= 0 || rate >= second.SampleRate) {
    return Status::Refused("lowering the sample rate needs a lower rate above 0");
  }
  return ConvertSecondWav(second, rate);
}

}  // namespace tolva
