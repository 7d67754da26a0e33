#include <algorithm>
#include <vector>

#include "effects.h"
#include "engine.h"
#include "lengths.h"
#include "stretch.h"

namespace tolva {

namespace {

Status RefuseFactorBelowOne(int amount) {
  return Status::Refused("the speed factor " + std::to_string(amount) + " is below 1");
}

// Writes the last frame of every group of `amount` frames of the range (and
// the last frame of a shorter final group). Groups that span more than a block
// are skipped by seeking, so a large factor does not read what it drops.
void KeepLastOfEachGroup(Edit& edit, const DurationRange& range, int64_t amount) {
  const int channels = edit.channels();
  const int64_t block = edit.block_frames();
  const int64_t last = range.frames - 1;
  std::vector<int16_t> in(static_cast<size_t>(std::min(block, range.frames) * channels));
  std::vector<int16_t> kept(in.size());
  int64_t keep = std::min(amount - 1, last);
  int64_t done = 0;
  while (done < range.frames) {
    if (keep - done >= block) {
      done = keep;
      edit.Seek(range.first + done);
    }
    const int64_t n = std::min(block, range.frames - done);
    edit.Read(in.data(), n);
    int64_t count = 0;
    for (; keep < done + n; keep = keep == last ? range.frames : std::min(keep + amount, last)) {
      std::copy_n(in.begin() + (keep - done) * channels, channels, kept.begin() + count * channels);
      ++count;
    }
    if (count > 0) edit.Emit(kept.data(), count);
    done += n;
  }
}

}  // namespace

RepeatWriter::RepeatWriter(Edit& edit, int64_t times)
    : edit_(edit),
      times_(times),
      channels_(edit.channels()),
      capacity_(edit.block_frames()),
      buffer_(static_cast<size_t>(capacity_ * channels_)) {}

void RepeatWriter::Put(const int16_t* samples, int64_t frames) {
  for (int64_t f = 0; f < frames; ++f) PutFrame(samples + f * channels_, times_);
}

void RepeatWriter::PutFrame(const int16_t* frame, int64_t copies) {
  for (int64_t left = copies; left > 0;) {
    if (used_ == capacity_) Flush();
    const int64_t n = std::min(left, capacity_ - used_);
    for (int64_t k = 0; k < n; ++k) {
      std::copy_n(frame, channels_, buffer_.begin() + (used_ + k) * channels_);
    }
    used_ += n;
    left -= n;
  }
}

void RepeatWriter::Flush() {
  if (used_ > 0) edit_.Emit(buffer_.data(), used_);
  used_ = 0;
}

Status Accelerate(RIFF& record, double begin, double end, int amount) {
  if (amount < 1) return RefuseFactorBelowOne(amount);
  const DurationRange range = RangeByDuration(record, begin, end);
  const int64_t groups = range.frames == 0 ? 0 : (range.frames - 1) / amount + 1;
  RIFF result;
  if (Status s = Resized(record, groups - range.frames, &result); !s.ok()) return s;
  Status status = RunEdit(record, result, [&](Edit& edit) {
    edit.Copy(range.first);
    KeepLastOfEachGroup(edit, range, amount);
    return edit.CopyRest();
  });
  if (status.ok()) record = result;
  return status;
}

Status Moderate(RIFF& record, double begin, double end, int amount) {
  if (amount < 1) return RefuseFactorBelowOne(amount);
  const DurationRange range = RangeByDuration(record, begin, end);
  RIFF result;
  if (Status s = Resized(record, range.frames * (int64_t{amount} - 1), &result); !s.ok()) return s;
  Status status = RunEdit(record, result, [&](Edit& edit) {
    edit.Copy(range.first);
    RepeatWriter writer(edit, amount);
    std::vector<int16_t> in(static_cast<size_t>(edit.block_frames() * edit.channels()));
    for (int64_t done = 0; done < range.frames;) {
      const int64_t n = std::min(edit.block_frames(), range.frames - done);
      edit.Read(in.data(), n);
      writer.Put(in.data(), n);
      done += n;
    }
    writer.Flush();
    return edit.CopyRest();
  });
  if (status.ok()) record = result;
  return status;
}

}  // namespace tolva
