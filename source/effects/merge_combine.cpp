#include <algorithm>
#include <vector>

#include "effects.h"
#include "engine.h"
#include "lengths.h"
#include "second_source.h"

namespace tolva {

namespace {

// A record that only carries a sample rate, for FrameOf and DurationFrames.
RIFF AtRate(int32_t rate) {
  RIFF r{};
  r.SampleRate = rate;
  return r;
}

Status TakeFrames(Edit& edit, SecondSource& second, int64_t count) {
  std::vector<int16_t> frames(static_cast<size_t>(edit.block_frames() * second.channels()));
  while (count > 0) {
    const int64_t n = std::min(count, edit.block_frames());
    if (Status s = second.Read(frames.data(), n); !s.ok()) return s;
    if (Status s = edit.Emit(frames.data(), n); !s.ok()) return s;
    count -= n;
  }
  return Status::Ok();
}

Status MixFrames(Edit& edit, SecondSource& second, int64_t count) {
  const size_t samples = static_cast<size_t>(edit.block_frames() * edit.channels());
  std::vector<int16_t> working(samples), other(samples);
  while (count > 0) {
    const int64_t n = std::min(count, edit.block_frames());
    if (Status s = edit.Read(working.data(), n); !s.ok()) return s;
    if (Status s = second.Read(other.data(), n); !s.ok()) return s;
    for (int64_t i = 0; i < n * edit.channels(); ++i) {
      working[i] = static_cast<int16_t>((working[i] + other[i]) / 2);
    }
    if (Status s = edit.Emit(working.data(), n); !s.ok()) return s;
    count -= n;
  }
  return Status::Ok();
}

}  // namespace

Status MergeFrom(RIFF& working, SecondSource& second, double position, double begin, double end) {
  const int64_t total = FrameCount(working);
  const int64_t at = FrameOf(working, position, total);
  const RIFF rate = AtRate(second.rate());
  const int64_t first = FrameOf(rate, begin, second.frames());
  const int64_t count = DurationFrames(rate, begin, end, second.frames() - first);
  RIFF result;
  if (Status s = Resized(working, count, &result); !s.ok()) return s;
  Status status = RunEdit(working, result, [&](Edit& edit) {
    if (Status s = edit.Copy(at); !s.ok()) return s;
    second.Seek(first);
    if (Status s = TakeFrames(edit, second, count); !s.ok()) return s;
    return edit.CopyRest();
  });
  if (status.ok()) working = result;
  return status;
}

Status CombineFrom(const RIFF& working, SecondSource& second, double position, double begin,
                   double end) {
  const int64_t total = FrameCount(working);
  const int64_t at = FrameOf(working, position, total);
  const RIFF rate = AtRate(second.rate());
  const int64_t first = FrameOf(rate, begin, second.frames());
  const int64_t count =
      DurationFrames(rate, begin, end, std::min(second.frames() - first, total - at));
  return RunEdit(working, working, [&](Edit& edit) {
    if (Status s = edit.Copy(at); !s.ok()) return s;
    second.Seek(first);
    if (Status s = MixFrames(edit, second, count); !s.ok()) return s;
    return edit.CopyRest();
  });
}

}  // namespace tolva
