#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "effects.h"
#include "engine.h"
#include "lengths.h"
#include "stretch.h"

namespace tolva {

namespace {

// A window is 1/25 s and is held in a buffer of this many frames.
constexpr int64_t kMaxWindowFrames = 100000;

// For each frame written in a window, the frame of the source window it comes from.
using WindowOrder = std::vector<int32_t>;

int64_t WindowFrames(const RIFF& record) {
  return static_cast<int64_t>(std::floor(record.SampleRate / 25.0));
}

Status CheckWindow(int64_t window) {
  if (window < 1 || window > kMaxWindowFrames) {
    return Status::Refused("a 1/25 s window of " + std::to_string(window) +
                           " frames does not fit the pitch buffer (1 to " +
                           std::to_string(kMaxWindowFrames) + " frames)");
  }
  return Status::Ok();
}

// One pass: frame k of the window goes to slot k / 2 and is copied on to slot
// (W + k) / 2, so every second frame fills the window twice. For an odd
// window the middle slot, first given frame 0 by the copy, ends up holding
// the last frame.
WindowOrder OnePass(int64_t window) {
  WindowOrder slot(static_cast<size_t>(window));
  for (int64_t k = 0; k < window; ++k) {
    slot[k / 2] = static_cast<int32_t>(k);
    slot[(window + k) / 2] = slot[k / 2];
  }
  return slot;
}

// The order of `earlier` followed by `later` on the window it produced.
WindowOrder Compose(const WindowOrder& earlier, const WindowOrder& later) {
  WindowOrder out(earlier.size());
  for (size_t m = 0; m < out.size(); ++m) out[m] = earlier[later[m]];
  return out;
}

// Every pass reorders the same windows the same way, so `passes` passes are
// the one-pass order composed with itself, found in log2(passes) squarings.
WindowOrder OrderAfter(int64_t window, int64_t passes) {
  WindowOrder result(static_cast<size_t>(window));
  std::iota(result.begin(), result.end(), 0);
  WindowOrder power = OnePass(window);
  for (; passes > 0; passes >>= 1) {
    if (passes & 1) result = Compose(power, result);
    if (passes > 1) power = Compose(power, power);
  }
  return result;
}

// Windows are processed only while more than one window of the range is left:
// a range of exactly k windows has k − 1 processed and its last one kept.
int64_t WindowCount(int64_t range_frames, int64_t window) {
  return range_frames > window ? (range_frames - 1) / window : 0;
}

// Reads the processed windows of the range (the source stands at its first
// frame) and hands each one, reordered, to `write`.
template <typename Write>
void ReorderWindows(Edit& edit, const DurationRange& range, const WindowOrder& order,
                    Write&& write) {
  const int channels = edit.channels();
  const int64_t window = static_cast<int64_t>(order.size());
  std::vector<int16_t> in(static_cast<size_t>(window * channels));
  std::vector<int16_t> out(in.size());
  for (int64_t w = WindowCount(range.frames, window); w > 0; --w) {
    edit.Read(in.data(), window);
    for (int64_t m = 0; m < window; ++m) {
      std::copy_n(in.begin() + int64_t{order[m]} * channels, channels, out.begin() + m * channels);
    }
    write(out.data(), window);
  }
}

}  // namespace

Status RaiseTone(RIFF& record, double begin, double end, int amount) {
  const int64_t window = WindowFrames(record);
  if (Status s = CheckWindow(window); !s.ok()) return s;
  const DurationRange range = RangeByDuration(record, begin, end);
  const WindowOrder order = OrderAfter(window, std::max(amount, 1));
  return RunEdit(record, record, [&](Edit& edit) {
    edit.Copy(range.first);
    ReorderWindows(edit, range, order,
                   [&](const int16_t* samples, int64_t frames) { edit.Emit(samples, frames); });
    return edit.CopyRest();
  });
}

Status ModeratePro(RIFF& record, double begin, double end, int amount) {
  if (amount < 1) {
    return Status::Refused("the speed factor " + std::to_string(amount) + " is below 1");
  }
  const int64_t window = WindowFrames(record);
  if (Status s = CheckWindow(window); !s.ok()) return s;
  const DurationRange range = RangeByDuration(record, begin, end);
  RIFF result;
  if (Status s = Resized(record, range.frames * (int64_t{amount} - 1), &result); !s.ok()) return s;
  const WindowOrder order = OrderAfter(window, std::max(amount >> 1, 1));
  Status status = RunEdit(record, result, [&](Edit& edit) {
    edit.Copy(range.first);
    RepeatWriter writer(edit, amount);
    ReorderWindows(edit, range, order,
                   [&](const int16_t* samples, int64_t frames) { writer.Put(samples, frames); });
    std::vector<int16_t> in(static_cast<size_t>(edit.block_frames() * edit.channels()));
    for (int64_t left = range.frames - WindowCount(range.frames, window) * window; left > 0;) {
      const int64_t n = std::min(edit.block_frames(), left);
      edit.Read(in.data(), n);
      writer.Put(in.data(), n);
      left -= n;
    }
    writer.Flush();
    return edit.CopyRest();
  });
  if (status.ok()) record = result;
  return status;
}

}  // namespace tolva
