#include <limits>

#include "effects.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

class PitchTest : public EffectTest {};

// Windows are 1/25 s: W = 4 frames at 100 per second, W = 5 at 125. One pass
// writes a window s0..s3 as s1 s3 s1 s3, and s0..s4 as s1 s3 s4 s2 s4; further
// passes reorder the result the same way, so W = 4 settles at s3 s3 s3 s3 after
// two passes and W = 5 at s4 × 5 after four. Windows are processed only while
// more than W frames of the range are left; the rest is copied.
TEST_P(PitchTest, ReordersEveryProcessedWindow) {
  const int kMax = std::numeric_limits<int>::max();
  const struct {
    int rate;
    double begin, end;  // in frames of the rate
    int amount;
    Samples want;
  } cases[] = {
      {100, 1, 12, 1, {10, 12, 14, 12, 14, 16, 18, 16, 18, 19, 20, 21}},
      {100, 1, 12, 0, {10, 12, 14, 12, 14, 16, 18, 16, 18, 19, 20, 21}},
      {100, 1, 12, -3, {10, 12, 14, 12, 14, 16, 18, 16, 18, 19, 20, 21}},
      {100, 1, 12, 2, {10, 14, 14, 14, 14, 18, 18, 18, 18, 19, 20, 21}},
      {100, 1, 12, kMax, {10, 14, 14, 14, 14, 18, 18, 18, 18, 19, 20, 21}},
      {100, 1, 9, 1, {10, 12, 14, 12, 14, 15, 16, 17, 18, 19, 20, 21}},   // exactly two windows
      {100, 0, 4, 1, {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21}},   // one window: none
      {100, 4, 90, 1, {10, 11, 12, 13, 15, 17, 15, 17, 18, 19, 20, 21}},  // past the end
      {125, 1, 12, 1, {10, 12, 14, 15, 13, 15, 17, 19, 20, 18, 20, 21}},
      {125, 1, 12, 2, {10, 14, 13, 15, 15, 15, 19, 18, 20, 20, 20, 21}},
      {125, 1, 12, 3, {10, 13, 15, 15, 15, 15, 18, 20, 20, 20, 20, 21}},
      {125, 1, 12, kMax, {10, 15, 15, 15, 15, 15, 20, 20, 20, 20, 20, 21}},
  };
  const Samples in = {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "rate " << c.rate << ", frames " << c.begin << " to "
                                      << c.end << ", amount " << c.amount);
    const Bytes wav = BuildWav({.channels = 1, .rate = c.rate}, in);
    EXPECT_EQ(
        Apply(wav,
              [&](RIFF& r) { return RaiseTone(r, c.begin / c.rate, c.end / c.rate, c.amount); }),
        c.want);
  }
}

// Raised by amount >> 1 octaves (at least one), then every frame of the range
// written `amount` times: stereo, W = 4, range frames 1 to 8.
TEST_P(PitchTest, SlowDownAtTheSamePitchRaisesThenRepeats) {
  const Samples in = Ramp(12, 2);
  const Bytes wav = BuildWav({.channels = 2, .rate = 100, .fact = true}, in);
  const struct {
    int amount;
    Frames want;
  } cases[] = {
      {1, Join({{0, 2, 4, 2, 4}, Span(5, 12)})},
      {2, Join({{0, 2, 2, 4, 4, 2, 2, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8}, Span(9, 12)})},
      {4, Join({{0},
                Frames(16, 4),
                Frames(4, 5),
                Frames(4, 6),
                Frames(4, 7),
                Frames(4, 8),
                Span(9, 12)})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.amount);
    EXPECT_EQ(Apply(wav, [&](RIFF& r) { return ModeratePro(r, 0.01, 0.09, c.amount); }),
              Pick(in, 2, c.want));
  }
}

// A 1/25 s window needs a rate of at least 25 frames per second.
TEST_P(PitchTest, RefusesRatesWithoutAWindow) {
  Apply(BuildWav({.channels = 1, .rate = 25}, Ramp(100, 1)),
        [](RIFF& r) { return RaiseTone(r, 0.0, 2.0, 1); });
  const Bytes wav = BuildWav({.channels = 1, .rate = 24}, Ramp(100, 1));
  ExpectRefused(wav, [](RIFF& r) { return RaiseTone(r, 0.0, 2.0, 1); });
  ExpectRefused(wav, [](RIFF& r) { return ModeratePro(r, 0.0, 2.0, 2); });
}

TOLVA_ALL_ENGINE_SETTINGS(PitchTest);

}  // namespace
}  // namespace tolva::testing
