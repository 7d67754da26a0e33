#include <algorithm>

#include "codec.h"

namespace tolva {

Status WavSource::Open(const fs::path& path, const RIFF& record) {
  rate_ = record.SampleRate;
  return reader_.Open(path, record);
}

Status WavSource::Read(int16_t* samples, int64_t max_frames, int64_t* frames) {
  *frames = std::min(max_frames, reader_.remaining());
  return reader_.Read(samples, *frames);
}

}  // namespace tolva
