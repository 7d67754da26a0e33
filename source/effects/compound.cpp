// Repeat, move and echo, each in one pass over the working file.
//
// They are defined as a chain of other effects with the working file as its own
// second source (a copy of it as audio/res1.wav, with the working record in
// both record places): Merge for a repeat, CutOff then Merge for a move,
// EditVoice then Combine for an echo. Since the working file is never modified
// in place, it is read directly where that chain reads the copy, and the
// result of the whole chain is written at once: the frame arithmetic below is
// exactly the callees', including their rounding and clamping.

#include <algorithm>
#include <array>
#include <vector>

#include "effects.h"
#include "engine.h"
#include "lengths.h"

namespace tolva {

namespace {

// The audio after CutOff removed frames [first, first + count) of the
// original: frame i of the cut audio is frame i, or i + count from `first` on.
struct Cut {
  int64_t first = 0;
  int64_t count = 0;
  int64_t Original(int64_t i) const { return i < first ? i : i + count; }
};

// Copies frames [from, to) of the cut audio.
void CopyCut(Edit& edit, const Cut& cut, int64_t from, int64_t to) {
  if (from < cut.first) {
    edit.Seek(from);
    edit.Copy(std::min(to, cut.first) - from);
    from = std::min(to, cut.first);
  }
  if (from < to) {
    edit.Seek(cut.Original(from));
    edit.Copy(to - from);
  }
}

// Merge(record, record, position, begin, end) after CutOff removed `cut` from
// the working file, the second source being the working file before the cut.
Status InsertOwnRange(RIFF& record, const Cut& cut, double position, double begin, double end) {
  const int64_t total = FrameCount(record);
  RIFF cut_record;
  if (Status s = Resized(record, -cut.count, &cut_record); !s.ok()) return s;
  const int64_t remaining = total - cut.count;
  const int64_t at = FrameOf(cut_record, position, remaining);
  const int64_t first = FrameOf(record, begin, total);
  const int64_t count = DurationFrames(record, begin, end, total - first);
  RIFF result;
  if (Status s = Resized(cut_record, count, &result); !s.ok()) return s;
  Status status = RunEdit(record, result, [&](Edit& edit) {
    CopyCut(edit, cut, 0, at);
    edit.Seek(first);
    edit.Copy(count);
    CopyCut(edit, cut, at, remaining);
    edit.Seek(total);
    return edit.CopyRest();
  });
  if (status.ok()) record = result;
  return status;
}

// The frames of [first, last) of the working file, halved.
struct Halved {
  int64_t first = 0;
  int64_t last = 0;
  int16_t At(int64_t frame, int16_t sample) const {
    return frame >= first && frame < last ? static_cast<int16_t>(sample / 2) : sample;
  }
};

// Reads `n` frames from `frame` on, writes them halved and mixed as the echo
// wants them.
Status EchoBlock(Edit& edit, FrameReader& delayed, const Halved& halved, int64_t frame, int64_t n,
                 int64_t mix_first, int64_t mix_last, int64_t delay_frames,
                 std::vector<int16_t>& now, std::vector<int16_t>& before) {
  const int channels = edit.channels();
  if (Status s = edit.Read(now.data(), n); !s.ok()) return s;
  const bool mixed = frame >= mix_first && frame < mix_last;
  if (mixed) {
    delayed.Seek(frame - delay_frames);
    if (Status s = delayed.Read(before.data(), n); !s.ok()) return s;
  }
  for (int64_t k = 0; k < n; ++k) {
    for (int c = 0; c < channels; ++c) {
      const size_t i = static_cast<size_t>(k * channels + c);
      int16_t w = halved.At(frame + k, now[i]);
      if (mixed) {
        const int16_t s = halved.At(frame + k - delay_frames, before[i]);
        w = static_cast<int16_t>((w + s) / 2);
      }
      now[i] = w;
    }
  }
  return edit.Emit(now.data(), n);
}

}  // namespace

Status Repeat(RIFF& record, double position, double begin, double end) {
  return InsertOwnRange(record, Cut{}, position, begin, end);
}

Status Transfer(RIFF& record, double position, double begin, double end) {
  double target;
  if (begin > position) {
    target = position;
  } else if (position > end) {
    target = (position - end) + begin;
  } else {
    return Status::Ok();
  }
  const int64_t total = FrameCount(record);
  Cut cut;
  cut.first = FrameOf(record, begin, total);
  cut.count = std::max(cut.first, FrameOf(record, end, total)) - cut.first;
  return InsertOwnRange(record, cut, target, begin, end);
}

Status EnvironmentEffect(RIFF& record, double begin, double end, double amount) {
  if (!(amount >= 0)) return Status::Refused("the echo delay must not be negative");
  const int64_t total = FrameCount(record);
  Halved halved;
  halved.first = FrameOf(record, begin, total);
  halved.last = std::max(halved.first, FrameOf(record, end + amount, total));
  const int64_t mix_first = FrameOf(record, begin + amount, total);
  const int64_t source_first = FrameOf(record, begin, total);
  const int64_t mix_count =
      DurationFrames(record, begin, end, std::min(total - source_first, total - mix_first));
  const int64_t mix_last = mix_first + mix_count;
  const int64_t delay_frames = mix_first - source_first;

  FrameReader delayed;
  if (Status s = delayed.Open(paths::kWorking, record); !s.ok()) return s;
  return RunEdit(record, record, [&](Edit& edit) {
    std::array<int64_t, 6> cuts = {0, halved.first, halved.last, mix_first, mix_last, total};
    std::sort(cuts.begin(), cuts.end());
    std::vector<int16_t> now(static_cast<size_t>(edit.block_frames() * edit.channels()));
    std::vector<int16_t> before(now.size());
    for (size_t p = 0; p + 1 < cuts.size(); ++p) {
      const int64_t from = cuts[p], to = cuts[p + 1];
      const bool touched =
          (from >= halved.first && from < halved.last) || (from >= mix_first && from < mix_last);
      if (!touched) {
        if (Status s = edit.Copy(to - from); !s.ok()) return s;
        continue;
      }
      for (int64_t frame = from; frame < to; frame += edit.block_frames()) {
        const int64_t n = std::min(edit.block_frames(), to - frame);
        if (Status s = EchoBlock(edit, delayed, halved, frame, n, mix_first, mix_last, delay_frames,
                                 now, before);
            !s.ok()) {
          return s;
        }
      }
    }
    return edit.CopyRest();
  });
}

}  // namespace tolva
