#include <algorithm>
#include <cmath>
#include <limits>

#include "effects.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

struct SpeedCase {
  const char* name;
  int channels;
  int rate;
  int64_t frames;
  double begin, end;
  int amount;
  bool fact;
};

// First frame and length of the range: floor(rate × begin) and
// floor((end − begin) × rate), limited to the audio.
std::pair<int64_t, int64_t> RangeOf(const SpeedCase& c) {
  int64_t first = std::min<int64_t>(c.frames, static_cast<int64_t>(std::floor(c.rate * c.begin)));
  int64_t length = static_cast<int64_t>(std::floor((c.end - c.begin) * c.rate));
  return {first, std::min(length, c.frames - first)};
}

// Groups of `amount` frames in a row, each one reduced to its last frame.
Samples ExpectedAccelerate(const Samples& in, const SpeedCase& c) {
  auto [first, length] = RangeOf(c);
  const int ch = c.channels;
  Samples out(in.begin(), in.begin() + first * ch);
  for (int64_t group = 0; group * c.amount < length; ++group) {
    int64_t last = std::min<int64_t>((group + 1) * c.amount, length) - 1;
    Samples frame = FrameAt(in, ch, first + last);
    out.insert(out.end(), frame.begin(), frame.end());
  }
  out.insert(out.end(), in.begin() + (first + length) * ch, in.end());
  return out;
}

Samples ExpectedModerate(const Samples& in, const SpeedCase& c) {
  auto [first, length] = RangeOf(c);
  const int ch = c.channels;
  Samples out(in.begin(), in.begin() + first * ch);
  for (int64_t f = first; f < first + length; ++f) {
    Samples frame = FrameAt(in, ch, f);
    for (int k = 0; k < c.amount; ++k) out.insert(out.end(), frame.begin(), frame.end());
  }
  out.insert(out.end(), in.begin() + (first + length) * ch, in.end());
  return out;
}

const SpeedCase kCases[] = {
    {"stereo, within a second, by two", 2, 1000, 2500, 0.2, 0.7, 2, false},
    {"mono, across seconds, by three", 1, 1000, 3000, 0.5, 2.2, 3, true},
    {"from the start, by four", 2, 1000, 1500, 0.0, 1.0, 4, true},
    {"factor one", 2, 1000, 1500, 0.3, 1.1, 1, true},
    {"range shorter than a group", 1, 1000, 1500, 0.3, 0.302, 5, false},
    {"ends at the last frame", 2, 1000, 1500, 0.5, 1.5, 3, false},
    {"past the end is clamped", 1, 1000, 1500, 0.5, 4.0, 2, true},
    {"beginning past the end", 2, 1000, 1500, 2.0, 3.0, 2, false},
    {"duration one frame short of the frame of end", 2, 44100, 1400, 0.01, 0.03, 3, false},
    {"factor far above the range", 1, 1000, 1500, 0.1, 1.2, 1000000, true},
};

class AccelerateTest : public EffectTest {};

TEST_P(AccelerateTest, KeepsTheLastFrameOfEveryGroup) {
  for (const SpeedCase& c : kCases) {
    SCOPED_TRACE(c.name);
    WavLayout layout;
    layout.channels = c.channels;
    layout.rate = c.rate;
    layout.fact = c.fact;
    Samples in = Ramp(c.frames, c.channels);
    RIFF record = Install(BuildWav(layout, in));
    const RIFF before = record;
    ASSERT_TRUE(Accelerate(record, c.begin, c.end, c.amount).ok());
    Bytes out = ws_.Working();
    Samples want = ExpectedAccelerate(in, c);
    EXPECT_EQ(SamplesOf(out), want);
    const int32_t lost = static_cast<int32_t>(in.size() - want.size()) / c.channels;
    RIFF header = HeaderOf(out);
    EXPECT_EQ(header.DataSize, before.DataSize - lost * 2 * c.channels);
    EXPECT_EQ(header.ChunkSize, before.ChunkSize - lost * 2 * c.channels);
    EXPECT_EQ(header.FactData, c.fact ? before.FactData - lost : before.FactData);
    EXPECT_EQ(out.size(), static_cast<size_t>(header.DataOffset + header.DataSize));
    EXPECT_EQ(record.DataSize, header.DataSize);
    EXPECT_EQ(record.ChunkSize, header.ChunkSize);
    EXPECT_EQ(record.FactData, header.FactData);
    EXPECT_FALSE(ws_.Has("audio/temp.wav"));
  }
}

TEST_P(AccelerateTest, TenFramesByFourKeepFrames3And7And9) {
  WavLayout layout;
  layout.channels = 1;
  layout.rate = 100;
  layout.fact = true;
  Samples in = Ramp(40, 1);
  RIFF record = Install(BuildWav(layout, in));
  ASSERT_TRUE(Accelerate(record, 0.05, 0.15, 4).ok());
  Samples want(in.begin(), in.begin() + 5);
  for (int f : {8, 12, 14}) want.push_back(in[f]);
  want.insert(want.end(), in.begin() + 15, in.end());
  EXPECT_EQ(SamplesOf(ws_.Working()), want);
  EXPECT_EQ(record.FactData, 40 - 7);
  EXPECT_EQ(record.DataSize, 2 * (40 - 7));
}

class ModerateTest : public EffectTest {};

TEST_P(ModerateTest, RepeatsEveryFrameOfTheRange) {
  for (const SpeedCase& c : kCases) {
    if (c.amount > 100) continue;
    SCOPED_TRACE(c.name);
    WavLayout layout;
    layout.channels = c.channels;
    layout.rate = c.rate;
    layout.fact = c.fact;
    Samples in = Ramp(c.frames, c.channels);
    RIFF record = Install(BuildWav(layout, in));
    const RIFF before = record;
    ASSERT_TRUE(Moderate(record, c.begin, c.end, c.amount).ok());
    Bytes out = ws_.Working();
    Samples want = ExpectedModerate(in, c);
    EXPECT_EQ(SamplesOf(out), want);
    const int32_t gained = static_cast<int32_t>(want.size() - in.size()) / c.channels;
    RIFF header = HeaderOf(out);
    EXPECT_EQ(header.DataSize, before.DataSize + gained * 2 * c.channels);
    EXPECT_EQ(header.ChunkSize, before.ChunkSize + gained * 2 * c.channels);
    EXPECT_EQ(header.FactData, c.fact ? before.FactData + gained : before.FactData);
    EXPECT_EQ(out.size(), static_cast<size_t>(header.DataOffset + header.DataSize));
    EXPECT_EQ(record.DataSize, header.DataSize);
    EXPECT_EQ(record.FactData, header.FactData);
    EXPECT_FALSE(ws_.Has("audio/temp.wav"));
  }
}

TEST_P(ModerateTest, ALargeFactorRepeatsAcrossManyBlocks) {
  WavLayout layout;
  layout.channels = 2;
  layout.rate = 100;
  Samples in = Ramp(20, 2);
  RIFF record = Install(BuildWav(layout, in));
  ASSERT_TRUE(Moderate(record, 0.05, 0.08, 5000).ok());
  SpeedCase c{"", 2, 100, 20, 0.05, 0.08, 5000, false};
  EXPECT_EQ(SamplesOf(ws_.Working()), ExpectedModerate(in, c));
  EXPECT_EQ(record.DataSize, 4 * (20 + 3 * 4999));
}

// The worked numbers at 44100 frames per second, stereo, range 1.0 s to 2.0 s,
// on a record that states 10 whole seconds.
TEST_P(ModerateTest, SizesAndSecondsOfOneSecondAt44100) {
  struct Case {
    bool accelerate;
    int amount;
    int64_t written;
    int32_t size_change;
    int32_t seconds;
  } cases[] = {
      {true, 2, 22050, -88200, 9},   {true, 3, 14700, -117600, 9},   {true, 4, 11025, -132300, 9},
      {false, 2, 88200, 176400, 11}, {false, 3, 132300, 352800, 12},
  };
  WavLayout layout;
  layout.fact = true;
  Samples in = Ramp(2 * 44100 + 10, 2);
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << (c.accelerate ? "accelerate " : "moderate ") << c.amount);
    RIFF record = Install(BuildWav(layout, in));
    const RIFF before = record;
    record.Seconds = 10;
    Status s = c.accelerate ? Accelerate(record, 1.0, 2.0, c.amount)
                            : Moderate(record, 1.0, 2.0, c.amount);
    ASSERT_TRUE(s.ok()) << s.message();
    EXPECT_EQ(record.DataSize, before.DataSize + c.size_change);
    EXPECT_EQ(record.ChunkSize, before.ChunkSize + c.size_change);
    EXPECT_EQ(record.FactData, before.FactData + c.size_change / 4);
    EXPECT_EQ(record.Seconds, c.seconds);
    EXPECT_EQ(static_cast<int64_t>(SamplesOf(ws_.Working()).size()), 2 * (44100 + 10 + c.written));
  }
}

TEST_P(ModerateTest, SecondsAreTruncatedTowardZero) {
  struct Case {
    bool accelerate;
    double begin, end;
    int amount;
    int32_t seconds;
  } cases[] = {
      {true, 0.0, 1.0, 2, 9},    // 10 − 0.5
      {false, 0.0, 0.5, 2, 10},  // 10 + 0.5
      {true, 0.0, 1.0, 3, 9},    // 10 − 0.6666666666666667
      {true, 0.0, 1.0, 1, 10},  {false, 0.0, 1.0, 1, 10}, {false, 0.0, 0.99, 2, 10},
  };
  WavLayout layout;
  layout.channels = 1;
  layout.rate = 100;
  for (const Case& c : cases) {
    RIFF record = Install(BuildWav(layout, Ramp(150, 1)));
    record.Seconds = 10;
    Status s = c.accelerate ? Accelerate(record, c.begin, c.end, c.amount)
                            : Moderate(record, c.begin, c.end, c.amount);
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(record.Seconds, c.seconds);
  }
}

TEST_P(ModerateTest, ARangeCutShortByTheEndCountsOnlyTheAudioItCovers) {
  WavLayout layout;
  layout.channels = 1;
  layout.rate = 100;
  // 3.5 s of audio, Seconds 3; the range [1, 1e9) covers the last 2.5 s.
  RIFF record = Install(BuildWav(layout, Ramp(350, 1)));
  ASSERT_TRUE(Moderate(record, 1.0, 1e9, 2).ok());
  EXPECT_EQ(record.Seconds, 5);  // 3 + 2.5
  record = Install(BuildWav(layout, Ramp(350, 1)));
  ASSERT_TRUE(Accelerate(record, 1.0, 1e9, 2).ok());
  EXPECT_EQ(record.Seconds, 1);  // 3 − 1.25
}

TEST_P(ModerateTest, RefusesFactorsBelowOneAndResultsTooLargeForTheHeader) {
  WavLayout layout;
  layout.channels = 2;
  layout.rate = 1000;
  layout.fact = true;
  Bytes wav = BuildWav(layout, Ramp(1000, 2));
  struct Case {
    const char* name;
    bool accelerate;
    int amount;
  } cases[] = {
      {"accelerate by zero", true, 0},
      {"accelerate by a negative factor", true, -3},
      {"moderate by zero", false, 0},
      {"moderate by a negative factor", false, std::numeric_limits<int>::min()},
      // 1000 frames × 4 bytes × 600000 is past 2^31 bytes.
      {"moderate beyond 32-bit sizes", false, 600000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RIFF record = Install(wav);
    const RIFF before = record;
    Status s = c.accelerate ? Accelerate(record, 0.0, 1.0, c.amount)
                            : Moderate(record, 0.0, 1.0, c.amount);
    EXPECT_TRUE(s.refused()) << s.message();
    EXPECT_EQ(ws_.Working(), wav);
    EXPECT_EQ(record.DataSize, before.DataSize);
    EXPECT_EQ(record.Seconds, before.Seconds);
    EXPECT_FALSE(ws_.Has("audio/temp.wav"));
  }
}

TOLVA_ALL_ENGINE_SETTINGS(AccelerateTest);
TOLVA_ALL_ENGINE_SETTINGS(ModerateTest);

}  // namespace
}  // namespace tolva::testing
