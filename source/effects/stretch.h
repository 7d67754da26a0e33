#pragma once

// The slow-down shared by Moderate and ModeratePro (its header), and the writer
// that repeats frames, which the rate conversion uses as well.

#include <cstdint>
#include <vector>

#include "engine.h"
#include "lengths.h"
#include "riff.h"
#include "status.h"

namespace tolva {

// The header after every frame of `range` is written `amount` times (amount ≥ 1):
// sizes grown by the added frames, Seconds grown by the range's duration times
// amount − 1. Refused when a size would not fit 32 bits.
Status ModeratedHeader(const RIFF& record, const DurationRange& range, int amount, RIFF* result);

// Writes frames to an edit, each one `times` times in a row (or as often as
// PutFrame says), in blocks of the edit's size.
class RepeatWriter {
 public:
  RepeatWriter(Edit& edit, int64_t times);
  void Put(const int16_t* samples, int64_t frames);
  void PutFrame(const int16_t* frame, int64_t copies);
  // Writes what is buffered; call before the edit's next stretch.
  void Flush();

 private:
  Edit& edit_;
  int64_t times_;
  int channels_;
  int64_t capacity_;
  int64_t used_ = 0;
  std::vector<int16_t> buffer_;
};

}  // namespace tolva
