#include <limits>

#include "effects.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

class ReverseCutTest : public EffectTest {};

// Stereo, ten frames per second, 30 frames with a fact chunk. Both take the
// frames from floor(10 × begin) up to floor(10 × end): reverse writes them
// backwards one second at a time (last second first), cut drops them.
TEST_P(ReverseCutTest, ReverseOrDropTheFramesOfTheRange) {
  const struct {
    double begin, end;
    Frames reversed, cut;
  } cases[] = {
      {0.5, 0.7, Join({Span(0, 5), {6, 5}, Span(7, 30)}), Join({Span(0, 5), Span(7, 30)})},
      {1.0, 2.5, Join({Span(0, 10), Span(24, 9), Span(25, 30)}), Join({Span(0, 10), Span(25, 30)})},
      {0.7, 1.2, Join({Span(0, 7), Span(11, 6), Span(12, 30)}), Join({Span(0, 7), Span(12, 30)})},
      {0.15, 0.34, Join({{0, 2, 1}, Span(3, 30)}), Join({{0}, Span(3, 30)})},
      {0.0, 3.45, Span(29, -1), {}},
      {3.5, 4.0, Span(0, 30), Span(0, 30)},
  };
  const Samples in = Ramp(30, 2);
  const Bytes wav = BuildWav({.channels = 2, .rate = 10, .fact = true}, in);
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.begin << " to " << c.end);
    EXPECT_EQ(Apply(wav, [&](RIFF& r) { return Reverse(r, c.begin, c.end); }),
              Pick(in, 2, c.reversed));
    EXPECT_EQ(Apply(wav, [&](RIFF& r) { return CutOff(r, c.begin, c.end); }), Pick(in, 2, c.cut));
  }
}

TEST_P(ReverseCutTest, CutOfHalfASecondOfStereoAt44100Removes22050Frames) {
  const Bytes wav = BuildWav({.fact = true}, Ramp(70000, 2));
  EXPECT_EQ(Apply(wav, [](RIFF& r) { return CutOff(r, 1.0, 1.5); }).size(), 2u * (70000 - 22050));
}

// A second of audio must fit the reversal's buffer of 100,000 frames; a cut
// must not take the fact count out of 32 bits.
TEST_P(ReverseCutTest, RefusesWhatTheBuffersOrTheHeaderCannotHold) {
  Apply(BuildWav({.channels = 1, .rate = 100000}, Ramp(50, 1)),
        [](RIFF& r) { return Reverse(r, 0.0, 0.0003); });
  ExpectRefused(BuildWav({.channels = 1, .rate = 100001}, Ramp(50, 1)),
                [](RIFF& r) { return Reverse(r, 0.0, 0.0003); });
  Bytes wav = BuildWav({.channels = 1, .rate = 10, .fact = true}, Ramp(20, 1));
  RIFF header = HeaderOf(wav);
  header.FactData = std::numeric_limits<int32_t>::min() + 5;
  const Bytes image = HeaderImage(header);
  std::copy(image.begin(), image.end(), wav.begin());
  ExpectRefused(wav, [](RIFF& r) { return CutOff(r, 0.0, 1.0); });
}

TOLVA_ALL_ENGINE_SETTINGS(ReverseCutTest);

}  // namespace
}  // namespace tolva::testing
