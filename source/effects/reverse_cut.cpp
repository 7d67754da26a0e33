#include <algorithm>
#include <vector>

#include "effects.h"
#include "engine.h"
#include "lengths.h"

namespace tolva {

namespace {

// The reversal holds one second of audio at a time, in a buffer of this many
// frames.
constexpr int32_t kMaxPieceFrames = 100000;

void ReverseFrames(int16_t* samples, int64_t frames, int channels) {
  for (int64_t a = 0, b = frames - 1; a < b; ++a, --b) {
    std::swap_ranges(samples + a * channels, samples + (a + 1) * channels, samples + b * channels);
  }
}

}  // namespace

Status Reverse(RIFF& record, double begin, double end) {
  if (record.SampleRate < 1 || record.SampleRate > kMaxPieceFrames) {
    return Status::Refused("reversing needs a sample rate between 1 and " +
                           std::to_string(kMaxPieceFrames) + " frames per second");
  }
  const int64_t total = FrameCount(record);
  const int64_t first = FrameOf(record, begin, total);
  const int64_t last = std::max(first, FrameOf(record, end, total));
  const int64_t rate = record.SampleRate;
  return RunEdit(record, record, [&](Edit& edit) {
    edit.Copy(first);
    std::vector<int16_t> piece(static_cast<size_t>(std::min(rate, last - first) * edit.channels()));
    // Pieces are the seconds of the file that the range touches, last one
    // first, each written backwards: together the whole range backwards.
    for (int64_t stop = last; stop > first;) {
      const int64_t start = std::max(first, (stop - 1) / rate * rate);
      edit.Seek(start);
      edit.Read(piece.data(), stop - start);
      ReverseFrames(piece.data(), stop - start, edit.channels());
      edit.Emit(piece.data(), stop - start);
      stop = start;
    }
    edit.Seek(last);
    return edit.CopyRest();
  });
}

Status CutOff(RIFF& record, double begin, double end) {
  const int64_t total = FrameCount(record);
  const int64_t first = FrameOf(record, begin, total);
  const int64_t last = std::max(first, FrameOf(record, end, total));
  RIFF result;
  if (Status s = Resized(record, first - last, &result); !s.ok()) return s;
  Status status = RunEdit(record, result, [&](Edit& edit) {
    edit.Copy(first);
    edit.Seek(last);
    return edit.CopyRest();
  });
  if (status.ok()) record = result;
  return status;
}

}  // namespace tolva
