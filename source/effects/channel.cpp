#include "effects.h"
#include "engine.h"
#include "lengths.h"

namespace tolva {

Status CutChannel(RIFF& record, double begin, double end, int channel) {
  const DurationRange range = RangeByDuration(record, begin, end);
  return RunEdit(record, record, [&](Edit& edit) {
    edit.Copy(range.first);
    // An index that names no channel leaves the range as it is.
    if (channel >= 0 && channel < edit.channels()) {
      edit.Transform(range.frames, [&](int16_t* samples, int64_t frames) {
        for (int64_t f = 0; f < frames; ++f) samples[f * edit.channels() + channel] = 0;
      });
    }
    return edit.CopyRest();
  });
}

}  // namespace tolva
