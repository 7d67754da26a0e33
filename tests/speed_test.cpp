#include <algorithm>
#include <limits>

#include "effects.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

// Accelerate, Moderate or ModeratePro.
using SpeedChange = Status (*)(RIFF&, double, double, int);

class SpeedTest : public EffectTest {};

// The range is floor((end − begin) × rate) frames from floor(rate × begin),
// written out per case as `first` and `length` (clamped to the audio).
// Accelerate keeps the last frame of every group of `amount` frames (and of
// the shorter last group); Moderate writes every frame `amount` times.
TEST_P(SpeedTest, KeepsTheLastFrameOfEachGroupOrRepeatsEachFrame) {
  const struct {
    const char* name;
    int channels, rate;
    int64_t frames;
    double begin, end;
    int amount;
    bool fact;
    int64_t first, length;
  } cases[] = {
      {"stereo, within a second, by two", 2, 1000, 2500, 0.2, 0.7, 2, false, 200, 499},
      {"mono, across seconds, by three", 1, 1000, 3000, 0.5, 2.2, 3, true, 500, 1700},
      {"from the start, by four", 2, 1000, 1500, 0.0, 1.0, 4, true, 0, 1000},
      {"factor one", 2, 1000, 1500, 0.3, 1.1, 1, true, 300, 800},
      {"range shorter than a group", 1, 1000, 1500, 0.3, 0.302, 5, false, 300, 2},
      {"ends at the last frame", 2, 1000, 1500, 0.5, 1.5, 3, false, 500, 1000},
      {"past the end is clamped", 1, 1000, 1500, 0.5, 4.0, 2, true, 500, 1000},
      {"beginning past the end", 2, 1000, 1500, 2.0, 3.0, 2, false, 1500, 0},
      // 0.02 × 44100 is 881.99…: frame 1322, before the frame of end, is tail.
      {"one frame short of the frame of end", 2, 44100, 1400, 0.01, 0.03, 3, false, 441, 881},
      {"factor far above the range, across blocks", 2, 100, 20, 0.05, 0.08, 5000, true, 5, 3},
  };
  for (const auto& c : cases) {
    const Samples in = Ramp(c.frames, c.channels);
    const Bytes wav = BuildWav({.channels = c.channels, .rate = c.rate, .fact = c.fact}, in);
    for (bool accelerate : {true, false}) {
      SCOPED_TRACE(::testing::Message() << c.name << (accelerate ? ", accelerate" : ", moderate"));
      Samples want(in.begin(), in.begin() + c.first * c.channels);
      for (int64_t f = c.first; f < c.first + c.length; ++f) {
        const bool kept = (f - c.first + 1) % c.amount == 0 || f == c.first + c.length - 1;
        for (int k = accelerate ? kept : c.amount; k > 0; --k) {
          want.insert(want.end(), in.begin() + f * c.channels, in.begin() + (f + 1) * c.channels);
        }
      }
      want.insert(want.end(), in.begin() + (c.first + c.length) * c.channels, in.end());
      RIFF record = Install(wav);
      const RIFF before = record;
      const SpeedChange effect = accelerate ? Accelerate : Moderate;
      ASSERT_TRUE(effect(record, c.begin, c.end, c.amount).ok());
      const Bytes out = ws_.Working();
      EXPECT_EQ(SamplesOf(out), want);
      ExpectResizedBy(before, record, out,
                      static_cast<int64_t>(want.size() - in.size()) / c.channels);
      EXPECT_FALSE(ws_.Has("audio/temp.wav"));
    }
  }
}

TEST_P(SpeedTest, AccelerateTenFramesByFourKeepsFrames3And7And9) {
  const Samples in = Ramp(40, 1);
  RIFF record = Install(BuildWav({.channels = 1, .rate = 100, .fact = true}, in));
  ASSERT_TRUE(Accelerate(record, 0.05, 0.15, 4).ok());
  const Samples out = SamplesOf(ws_.Working());
  ASSERT_EQ(out.size(), 40u - 7);
  EXPECT_EQ(Samples(out.begin() + 4, out.begin() + 9),
            (Samples{in[4], in[8], in[12], in[14], in[15]}));
  EXPECT_EQ(record.FactData, 40 - 7);
}

// Stereo at 44100, range 1.0 s to 2.0 s, on a record that states 10 seconds.
TEST_P(SpeedTest, SizesAndSecondsOfOneSecondAt44100) {
  const struct {
    SpeedChange effect;
    int amount;
    int64_t written;
    int32_t size_change, seconds;
  } cases[] = {
      {Accelerate, 2, 22050, -88200, 9},  {Accelerate, 3, 14700, -117600, 9},
      {Accelerate, 4, 11025, -132300, 9}, {Moderate, 2, 88200, 176400, 11},
      {Moderate, 3, 132300, 352800, 12},
  };
  const Bytes wav = BuildWav({.fact = true}, Ramp(2 * 44100 + 10, 2));
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "written " << c.written);
    RIFF record = Install(wav);
    const RIFF before = record;
    record.Seconds = 10;
    ASSERT_TRUE(c.effect(record, 1.0, 2.0, c.amount).ok());
    ExpectResizedBy(before, record, ws_.Working(), c.written - 44100);
    EXPECT_EQ(record.DataSize - before.DataSize, c.size_change);
    EXPECT_EQ(record.Seconds, c.seconds);
  }
}

// On a record that states 10 seconds.
TEST_P(SpeedTest, SecondsAreTruncatedTowardZero) {
  const struct {
    SpeedChange effect;
    double begin, end;
    int amount;
    int32_t seconds;
  } cases[] = {
      {Accelerate, 0.0, 1.0, 2, 9},  // 10 − 0.5
      {Moderate, 0.0, 0.5, 2, 10},   // 10 + 0.5
      {Accelerate, 0.0, 1.0, 3, 9},  // 10 − 0.6666666666666667
      {Accelerate, 0.0, 1.0, 1, 10},  {Moderate, 0.0, 1.0, 1, 10}, {Moderate, 0.0, 0.99, 2, 10},
      {Moderate, 1.0, 1e9, 2, 12},     // cut short to the 2.5 s left: 10 + 2.5
      {Accelerate, 1.0, 1e9, 2, 8},    // 10 − 1.25
      {ModeratePro, 0.5, 1.0, 4, 11},  // 10 + 0.5 × 3
      {ModeratePro, 1.0, 1e9, 2, 12},
  };
  const Bytes wav = BuildWav({.channels = 1, .rate = 100}, Ramp(350, 1));
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "row " << &c - cases);
    RIFF record = Install(wav);
    record.Seconds = 10;
    ASSERT_TRUE(c.effect(record, c.begin, c.end, c.amount).ok());
    EXPECT_EQ(record.Seconds, c.seconds);
  }
}

TEST_P(SpeedTest, RefusesFactorsBelowOneAndResultsTooLargeLeavingAllAsItWas) {
  const Bytes wav = BuildWav({.rate = 1000, .fact = true}, Ramp(1000, 2));
  const int kMin = std::numeric_limits<int>::min();
  // 1000 frames × 4 bytes × 600000 is past 2^31 bytes.
  const struct {
    SpeedChange effect;
    int amount;
  } cases[] = {
      {Accelerate, 0},   {Accelerate, -3},    {Moderate, 0},
      {Moderate, kMin},  {Moderate, 600000},  {ModeratePro, 0},
      {ModeratePro, -1}, {ModeratePro, kMin}, {ModeratePro, 600000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "row " << &c - cases);
    RIFF record = Install(wav);
    const RIFF before = record;
    const Status s = c.effect(record, 0.0, 1.0, c.amount);
    EXPECT_TRUE(s.refused()) << s.message();
    EXPECT_EQ(ws_.Working(), wav);
    EXPECT_EQ(HeaderImage(record), HeaderImage(before));
    EXPECT_EQ(record.Seconds, before.Seconds);
    EXPECT_FALSE(ws_.Has("audio/temp.wav"));
  }
}

TOLVA_ALL_ENGINE_SETTINGS(SpeedTest);

}  // namespace
}  // namespace tolva::testing
