#include "effects.h"
#include "two_source_rules.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

struct RateCase {
  int from, to;
  int channels;
  double seconds;  // length of the second source
  bool fact;
};

class SampleRateTest : public EffectTest {
 protected:
  RIFF PutSecond(const RateCase& c, const Samples& in) {
    WavLayout layout;
    layout.channels = c.channels;
    layout.rate = c.from;
    layout.fact = c.fact;
    ws_.Put("audio/res1.wav", BuildWav(layout, in));
    RIFF record{};
    EXPECT_TRUE(GetInfo(record, kSecondSourceWav));
    return record;
  }
};

// Raising more than twice: each second of the result holds the frames of its
// own source second, in order, each as often as an even spread allows.
void ExpectEvenSpread(const Samples& in, const Samples& out, const RateCase& c) {
  for (int64_t s = 0; s < static_cast<int64_t>(c.seconds); ++s) {
    std::vector<int64_t> count(static_cast<size_t>(c.from), 0);
    for (int64_t o = 0, j = 0; o < c.to; ++o) {
      const Samples frame = FrameAt(out, c.channels, s * c.to + o);
      while (j < c.from && FrameAt(in, c.channels, s * c.from + j) != frame) ++j;
      ASSERT_LT(j, c.from) << "frame " << o << " of second " << s << " is out of order";
      ++count[static_cast<size_t>(j)];
    }
    for (int64_t n : count) {
      EXPECT_GE(n, c.to / c.from);
      EXPECT_LE(n, (c.to + c.from - 1) / c.from);
    }
  }
}

// The six worked rates, a second source shorter than a second, tiny rates over
// several seconds (the selection restarts in every second), and raising more
// than twice. The header is updated for the whole seconds at the new rate.
TEST_P(SampleRateTest, RepeatsOrDropsTheSelectedFramesOfEverySecond) {
  const RateCase cases[] = {
      {44100, 48000, 1, 2.0, false}, {32000, 44100, 2, 1.5, true},  {22050, 44100, 2, 1.2, false},
      {48000, 44100, 1, 1.3, true},  {44100, 22050, 2, 1.1, false}, {44100, 16000, 1, 1.6, false},
      {10, 13, 2, 3.7, true},        {13, 10, 2, 3.0, false},       {13, 5, 1, 4.2, false},
      {1000, 1100, 2, 0.6, true},    {16000, 44100, 1, 1.5, true},  {4, 11, 2, 3.5, false},
      {3, 30, 1, 2.0, true},
  };
  const Bytes working = BuildWav(WavLayout{}, Ramp(300, 2));
  ws_.PutWorking(working);
  for (const RateCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.from << " to " << c.to);
    const Samples in = Ramp(static_cast<int64_t>(c.seconds * c.from), c.channels);
    RIFF record = PutSecond(c, in);
    const RIFF before = record;
    ASSERT_TRUE((c.to > c.from ? RaiseSample(record, c.to) : LowerSample(record, c.to)).ok());
    const Bytes file = ws_.Get("audio/res1.wav");
    const int64_t frames = static_cast<int64_t>(c.seconds) * c.to;
    EXPECT_EQ(HeaderImage(HeaderOf(file)), HeaderImage(record));
    EXPECT_EQ(record.SampleRate, c.to);
    EXPECT_EQ(record.ByteRate, c.to * 2 * c.channels);
    EXPECT_EQ(record.DataSize, frames * 2 * c.channels);
    EXPECT_EQ(record.FactData, c.fact ? frames : before.FactData);
    EXPECT_EQ(record.ChunkSize + 8 - record.DataSize, before.DataOffset);
    EXPECT_EQ(record.DataOffset, before.DataOffset);
    EXPECT_EQ(record.Seconds, before.Seconds);
    EXPECT_EQ(static_cast<int64_t>(file.size()), record.DataOffset + record.DataSize);
    if (c.to > 2 * c.from) {
      ExpectEvenSpread(in, SamplesOf(file), c);
    } else {
      EXPECT_EQ(SamplesOf(file), AtRate(in, c.channels, c.from, c.to));
    }
    EXPECT_FALSE(ws_.Has("audio/temp.wav"));
  }
  EXPECT_EQ(ws_.Working(), working);
}

TEST_P(SampleRateTest, RefusesARateOnTheWrongSideAndLeavesTheSourceAlone) {
  RIFF record = PutSecond({1000, 0, 2, 1.5, false}, Ramp(1500, 2));
  const Bytes before = ws_.Get("audio/res1.wav");
  EXPECT_TRUE(RaiseSample(record, 1000).refused());
  EXPECT_TRUE(RaiseSample(record, 900).refused());
  EXPECT_TRUE(LowerSample(record, 1000).refused());
  EXPECT_TRUE(LowerSample(record, 0).refused());
  EXPECT_TRUE(LowerSample(record, -5).refused());
  EXPECT_EQ(ws_.Get("audio/res1.wav"), before);
  EXPECT_EQ(record.SampleRate, 1000);
}

TOLVA_ALL_ENGINE_SETTINGS(SampleRateTest);

}  // namespace
}  // namespace tolva::testing
