#include <cmath>

#include "effects.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

class CompoundTest : public EffectTest {};

// Stereo, ten frames per second, 80 frames. A copy of floor((end − begin) × 10)
// frames from floor(10 × begin) goes in at the frame of the position; a move
// first cuts the frames from floor(10 × begin) up to floor(10 × end), so where
// the two counts differ the moved range loses a frame. A position inside the
// range, or one that is no number, moves nothing.
TEST_P(CompoundTest, RepeatAndMovePlaceTheRange) {
  const double nan = std::nan("");
  const struct {
    Status (*effect)(RIFF&, double, double, double);
    double position, begin, end;
    Frames want;
  } cases[] = {
      {Repeat, 2.0, 1.0, 2.0, Join({Span(0, 20), Span(10, 80)})},
      {Repeat, 1.0, 1.0, 2.0, Join({Span(0, 20), Span(10, 80)})},
      {Repeat, 0.55, 0.15, 0.34, Join({Span(0, 5), {1}, Span(5, 80)})},
      {Repeat, 12.0, 1.0, 2.0, Join({Span(0, 80), Span(10, 20)})},
      // 5.0 after [1, 2) is 4.0 in the cut file.
      {Transfer, 5.0, 1.0, 2.0, Join({Span(0, 10), Span(20, 50), Span(10, 20), Span(50, 80)})},
      {Transfer, 1.5, 4.0, 6.0, Join({Span(0, 15), Span(40, 60), Span(15, 40), Span(60, 80)})},
      {Transfer, 30.0, 1.0, 2.0, Join({Span(0, 10), Span(20, 80), Span(10, 20)})},
      // Frames 1 and 2 are cut, one frame (1.9) goes in at 4.81 s of the cut file.
      {Transfer, 5.0, 0.15, 0.34, Join({{0}, Span(3, 50), {1}, Span(50, 80)})},
      {Transfer, 0.05, 0.15, 0.34, Join({{1, 0}, Span(3, 80)})},
      {Transfer, 1.0, 1.0, 2.0, Span(0, 80)},
      {Transfer, 1.5, 1.0, 2.0, Span(0, 80)},
      {Transfer, 2.0, 1.0, 2.0, Span(0, 80)},
      {Transfer, nan, 1.0, 2.0, Span(0, 80)},
  };
  const Samples in = Ramp(80, 2);
  const Bytes wav = BuildWav({.channels = 2, .rate = 10, .fact = true}, in);
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "row " << &c - cases);
    EXPECT_EQ(Apply(wav, [&](RIFF& r) { return c.effect(r, c.position, c.begin, c.end); }),
              Pick(in, 2, c.want));
  }
}

// Each sample of `mono` on both channels.
Samples Stereo(const Samples& mono) {
  Samples out;
  for (int16_t s : mono) out.insert(out.end(), {s, s});
  return out;
}

// Ten frames per second. The frames from floor(10 × begin) up to
// floor(10 × (end + delay)) are halved toward zero; from floor(10 × (begin +
// delay)) on, floor((end − begin) × 10) frames, cut short at the end of the
// audio, become the average of themselves and the halved frame `delay` earlier.
TEST_P(CompoundTest, EchoHalvesAndMixesInTheDelayedRange) {
  const Samples in = {0, 100, -3, 300, 400, 500, 600, 700, 800, 900, 1000, 1100};
  const struct {
    double begin, end, delay;
    Samples want;
  } cases[] = {
      {0.2, 0.4, 0.2, {0, 100, -1, 150, 99, 200, 600, 700, 800, 900, 1000, 1100}},
      {0.2, 0.4, 0.0, {0, 100, -1, 150, 400, 500, 600, 700, 800, 900, 1000, 1100}},
      {0.2, 0.4, 100, {0, 100, -1, 150, 200, 250, 300, 350, 400, 450, 500, 550}},
      {0.5, 1.0, 0.5, {0, 100, -3, 300, 400, 250, 300, 350, 400, 450, 375, 425}},
  };
  const Bytes wav = BuildWav({.channels = 2, .rate = 10}, Stereo(in));
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.begin << " to " << c.end << ", delay " << c.delay);
    EXPECT_EQ(Apply(wav, [&](RIFF& r) { return EnvironmentEffect(r, c.begin, c.end, c.delay); }),
              Stereo(c.want));
  }
  for (double delay : {-0.5, -1e-9, std::nan("")}) {
    ExpectRefused(wav, [&](RIFF& r) { return EnvironmentEffect(r, 0.2, 0.4, delay); });
  }
}

TOLVA_ALL_ENGINE_SETTINGS(CompoundTest);

}  // namespace
}  // namespace tolva::testing
