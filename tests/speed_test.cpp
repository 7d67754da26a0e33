#include <limits>

#include "effects.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

// Accelerate, Moderate or ModeratePro.
using SpeedChange = Status (*)(RIFF&, double, double, int);

class SpeedTest : public EffectTest {};

// Ten frames per second, 20 frames. The range is floor((end − begin) × 10)
// frames from floor(10 × begin). Accelerate keeps the last frame of every group
// of `amount` frames and of the shorter last group; Moderate writes every frame
// `amount` times.
TEST_P(SpeedTest, KeepsTheLastFrameOfEachGroupOrRepeatsEachFrame) {
  const struct {
    SpeedChange effect;
    double begin, end;
    int amount;
    Frames want;
  } cases[] = {
      {Accelerate, 0.2, 1.2, 4, Join({Span(0, 2), {5, 9, 11}, Span(12, 20)})},
      {Accelerate, 0.2, 1.2, 5000, Join({Span(0, 2), {11}, Span(12, 20)})},
      {Accelerate, 0.2, 0.4, 5, Join({Span(0, 2), {3}, Span(4, 20)})},
      {Accelerate, 1.5, 9.0, 2, Join({Span(0, 15), {16, 18, 19}})},
      {Accelerate, 0.0, 2.0, 1, Span(0, 20)},
      {Moderate, 0.2, 0.5, 3, Join({{0, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4}, Span(5, 20)})},
      {Moderate, 0.15, 0.34, 2, Join({{0, 1, 1}, Span(2, 20)})},  // 1.9 frames: frame 1 only
      {Moderate, 1.5, 9.0, 2, Join({Span(0, 15), {15, 15, 16, 16, 17, 17, 18, 18, 19, 19}})},
      {Moderate, 0.0, 2.0, 1, Span(0, 20)},
  };
  const Samples in = Ramp(20, 2);
  const Bytes wav = BuildWav({.channels = 2, .rate = 10, .fact = true}, in);
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "row " << &c - cases);
    EXPECT_EQ(Apply(wav, [&](RIFF& r) { return c.effect(r, c.begin, c.end, c.amount); }),
              Pick(in, 2, c.want));
  }
}

// Stereo at 44100, 88,210 frames, on a record that states 10 s. The range's
// `range` frames become `written`; Seconds is computed in reals and truncated
// toward zero. The first five rows are worked numbers of 1.0 s to 2.0 s.
TEST_P(SpeedTest, SizesAndSecondsAfterTheChange) {
  const struct {
    SpeedChange effect;
    double begin, end;
    int amount;
    int64_t range, written;
    int32_t seconds;
  } cases[] = {
      {Accelerate, 1.0, 2.0, 2, 44100, 22050, 9},   {Accelerate, 1.0, 2.0, 3, 44100, 14700, 9},
      {Accelerate, 1.0, 2.0, 4, 44100, 11025, 9},   {Moderate, 1.0, 2.0, 2, 44100, 88200, 11},
      {Moderate, 1.0, 2.0, 3, 44100, 132300, 12},   {Moderate, 0.0, 0.5, 2, 22050, 44100, 10},
      {Moderate, 1.0, 1e9, 2, 44110, 88220, 11},   // cut short to the 1.0002 s left
      {Accelerate, 1.0, 1e9, 2, 44110, 22055, 9},  // 10 − 1.0002 / 2
      {ModeratePro, 0.5, 1.0, 4, 22050, 88200, 11},
  };
  const Bytes wav = BuildWav({.fact = true}, Ramp(88210, 2));
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "row " << &c - cases);
    int32_t seconds = 0;
    const Samples out = Apply(wav, [&](RIFF& r) {
      r.Seconds = 10;
      const Status s = c.effect(r, c.begin, c.end, c.amount);
      seconds = r.Seconds;
      return s;
    });
    EXPECT_EQ(static_cast<int64_t>(out.size()) / 2, 88210 - c.range + c.written);
    EXPECT_EQ(seconds, c.seconds);
  }
}

TEST_P(SpeedTest, RefusesFactorsBelowOneAndResultsTooLargeForTheHeader) {
  const Bytes wav = BuildWav({.rate = 1000, .fact = true}, Ramp(1000, 2));
  const int kMin = std::numeric_limits<int>::min();
  // 1000 frames × 4 bytes × 600000 is past 2^31 bytes.
  const std::pair<SpeedChange, int> cases[] = {
      {Accelerate, 0},    {Accelerate, -3}, {Moderate, 0},         {Moderate, kMin},
      {Moderate, 600000}, {ModeratePro, 0}, {ModeratePro, 600000},
  };
  for (const auto& [effect, amount] : cases) {
    SCOPED_TRACE(amount);
    ExpectRefused(wav, [&](RIFF& r) { return effect(r, 0.0, 1.0, amount); });
  }
}

TOLVA_ALL_ENGINE_SETTINGS(SpeedTest);

}  // namespace
}  // namespace tolva::testing
