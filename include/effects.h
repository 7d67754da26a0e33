#pragma once

#include "riff.h"
#include "status.h"

// The editing operations on the working file audio/output.wav. Each one writes
// a new version of the file and replaces the old one only when it is complete;
// `record` is the working file's header, and size-changing effects leave the
// new header in it. Times are seconds from the start of the audio; ranges and
// positions that reach past the end of the audio are clamped to it.
namespace tolva {

// Op 2: multiplies every sample of the frames from the frame of `begin` up to
// the frame of `end` by `amount`, truncating toward zero and clipping to the
// 16-bit range.
Status EditVoice(RIFF& record, double begin, double end, double amount);

// Op 3: plays the range backwards, frame by frame, channel order kept.
Status Reverse(RIFF& record, double begin, double end);
// Op 4: removes the frames from the frame of `begin` up to the frame of `end`.
Status CutOff(RIFF& record, double begin, double end);

class SecondSource;
// Op 5: inserts the second source's range [begin, end) (in its own seconds) at
// `position` of the working file; leaves the grown header in `working`.
Status MergeFrom(RIFF& working, SecondSource& second, double position, double begin, double end);
// Op 10: mixes the second source's range into the working file from `position`
// on: each sample becomes (w + s) / 2, truncated toward zero.
Status CombineFrom(const RIFF& working, SecondSource& second, double position, double begin,
                   double end);

// Op 6: silences channel `channel` over the range; an index that names no
// channel of the file leaves the audio unchanged.
Status CutChannel(RIFF& record, double begin, double end, int channel);

// Op 7: keeps the last frame of every group of `amount` frames of the range.
Status Accelerate(RIFF& record, double begin, double end, int amount);
// Op 8: writes every frame of the range `amount` times.
Status Moderate(RIFF& record, double begin, double end, int amount);

// Op 11: raises the range by `amount` octaves (at least one) in 1/25 s windows.
Status RaiseTone(RIFF& record, double begin, double end, int amount);
// Op 12: RaiseTone by amount >> 1 octaves, then Moderate by `amount`.
Status ModeratePro(RIFF& record, double begin, double end, int amount);

// Op 13: inserts a copy of [begin, end) at `position`.
Status Repeat(RIFF& record, double position, double begin, double end);
// Op 14: moves [begin, end) to `position`; a position inside the range changes nothing.
Status Transfer(RIFF& record, double position, double begin, double end);
// Op 9: halves [begin, end + amount) and mixes in the range delayed by `amount` s.
Status EnvironmentEffect(RIFF& record, double begin, double end, double amount);

}  // namespace tolva
