#pragma once

// Header arithmetic and range counting shared by the effects that change the
// length of the audio (cut, speed, pitch with stretch).

#include <cstdint>

#include "engine.h"
#include "riff.h"
#include "status.h"

namespace tolva {

// A range counted by its duration: `frames` frames from `first` on, clamped to
// the audio.
struct DurationRange {
  int64_t first = 0;
  int64_t frames = 0;
};

inline DurationRange RangeByDuration(const RIFF& record, double begin, double end) {
  const int64_t total = FrameCount(record);
  DurationRange range;
  range.first = FrameOf(record, begin, total);
  range.frames = DurationFrames(record, begin, end, total - range.first);
  return range;
}

// `record` with the audio grown by `frames` whole frames (shrunk when negative):
// ChunkSize and DataSize by their bytes, FactData (only with a fact chunk) by
// the frames. Refused, leaving `result` alone, when a field would not fit the
// header's unsigned 32-bit sizes.
inline Status Resized(const RIFF& record, int64_t frames, RIFF* result) {
  const int64_t bytes = frames * FrameBytes(record);
  const int64_t chunk = int64_t{record.ChunkSize} + bytes;
  const int64_t data = int64_t{record.DataSize} + bytes;
  const int64_t fact = record.HasFact ? int64_t{record.FactData} + frames : record.FactData;
  if (!FitsUint32(chunk) || !FitsUint32(data) || !FitsUint32(fact)) {
    return RefuseTooLong(record, FrameCount(record) + frames);
  }
  RIFF r = record;
  r.ChunkSize = static_cast<uint32_t>(chunk);
  r.DataSize = static_cast<uint32_t>(data);
  r.FactData = static_cast<uint32_t>(fact);
  *result = r;
  return Status::Ok();
}

}  // namespace tolva
