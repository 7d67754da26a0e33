#pragma once

// The writer that repeats frames, shared by the slow-downs (Moderate and
// ModeratePro).

#include <cstdint>
#include <vector>

#include "engine.h"
#include "riff.h"
#include "status.h"

namespace tolva {

// Writes frames to an edit, each one `times` times in a row, in blocks of the
// edit's size.
class RepeatWriter {
 public:
  RepeatWriter(Edit& edit, int64_t times);
  void Put(const int16_t* samples, int64_t frames);
  // Writes what is buffered; call before the edit's next stretch.
  void Flush();

 private:
  void PutFrame(const int16_t* frame, int64_t copies);

  Edit& edit_;
  int64_t times_;
  int channels_;
  int64_t capacity_;
  int64_t used_ = 0;
  std::vector<int16_t> buffer_;
};

}  // namespace tolva
