#include <algorithm>
#include <cmath>

#include "effects.h"
#include "engine.h"

namespace tolva {

namespace {

// s × amount, truncated toward zero, then clipped: a gain that overshoots the
// 16-bit range must not wrap around into inverted, distorted sound.
int16_t Scale(int16_t sample, double amount) {
  double product = std::trunc(static_cast<double>(sample) * amount);
  if (std::isnan(product)) return 0;
  return static_cast<int16_t>(std::clamp(product, -32768.0, 32767.0));
}

}  // namespace

Status EditVoice(RIFF& record, double begin, double end, double amount) {
  const int64_t total = FrameCount(record);
  const int64_t first = FrameOf(record, begin, total);
  const int64_t last = std::max(first, FrameOf(record, end, total));
  return RunEdit(record, record, [&](Edit& edit) {
    edit.Copy(first);
    edit.Transform(last - first, [&](int16_t* samples, int64_t frames) {
      for (int64_t i = 0, n = frames * edit.channels(); i < n; ++i) {
        samples[i] = Scale(samples[i], amount);
      }
    });
    return edit.CopyRest();
  });
}

}  // namespace tolva
