#include "effects.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

class SampleRateTest : public EffectTest {
 protected:
  // Converts audio/res1.wav holding `in` from `from` to `to` frames per second
  // and checks its header: the new rate, sizes (and a fact count) for its whole
  // seconds at that rate, the file exactly that long, the record that header,
  // the working file and the folder as they were. Returns the frames written.
  Samples Convert(int from, int to, int channels, bool fact, const Samples& in) {
    ws_.PutWorking(BuildWav({}, Ramp(10, 2)));
    ws_.Put("audio/res1.wav", BuildWav({.channels = channels, .rate = from, .fact = fact}, in));
    RIFF record{};
    EXPECT_TRUE(GetInfo(record, kSecondSourceWav));
    RIFF want = record;
    const int32_t frames = static_cast<int32_t>(in.size()) / channels / from * to;
    want.SampleRate = to;
    want.ByteRate = to * 2 * channels;
    want.ChunkSize += frames * 2 * channels - want.DataSize;
    want.DataSize = frames * 2 * channels;
    if (fact) want.FactData = frames;
    EXPECT_TRUE((to > from ? RaiseSample(record, to) : LowerSample(record, to)).ok());
    const Bytes out = ws_.Get("audio/res1.wav");
    EXPECT_EQ(HeaderImage(HeaderOf(out)), HeaderImage(want));
    EXPECT_EQ(HeaderImage(record), HeaderImage(want));
    EXPECT_EQ(out.size(), static_cast<size_t>(want.DataOffset + want.DataSize));
    EXPECT_EQ(ws_.Working(), BuildWav({}, Ramp(10, 2)));
    EXPECT_EQ(ws_.AudioFiles(), (std::vector<std::string>{"output.wav", "res1.wav"}));
    return SamplesOf(out);
  }
};

// Per whole second, D = |to − from| frames are repeated (raising) or dropped
// (lowering): those numbered c, 2c, ..., D × c from 1, c = from / D. Raising
// more than twice (c = 0) spreads the repeats evenly. What follows the last
// whole second is gone.
TEST_P(SampleRateTest, RepeatsOrDropsTheSelectedFramesOfEverySecond) {
  const struct {
    int from, to, channels;
    int64_t frames;
    Frames want;
  } cases[] = {
      {4, 6, 2, 10, {0, 1, 1, 2, 3, 3, 4, 5, 5, 6, 7, 7}},
      {6, 4, 1, 9, {0, 1, 3, 4}},
      {10, 13, 2, 10, {0, 1, 2, 2, 3, 4, 5, 5, 6, 7, 8, 8, 9}},
      {10, 7, 1, 25, {0, 1, 3, 4, 6, 7, 9, 10, 11, 13, 14, 16, 17, 19}},
      {3, 10, 1, 6, {0, 0, 0, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5, 5, 5, 5}},
      {5, 8, 2, 4, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.from << " to " << c.to);
    const Samples in = Ramp(c.frames, c.channels);
    EXPECT_EQ(Convert(c.from, c.to, c.channels, c.channels == 1, in), Pick(in, c.channels, c.want));
  }
}

// The worked rates over 1.2 s: c and the last selected frame as given.
TEST_P(SampleRateTest, SelectsTheWorkedFramesOfCommonRates) {
  const struct {
    int from, to, step, last;
  } cases[] = {
      {44100, 48000, 11, 42900}, {32000, 44100, 2, 24200}, {22050, 44100, 1, 22050},
      {48000, 44100, 12, 46800}, {44100, 22050, 2, 44100}, {44100, 16000, 1, 28100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.from << " to " << c.to);
    const Samples in = Ramp(c.from * 6 / 5, 1);
    Frames want;
    for (int j = 1; j <= c.from; ++j) {
      const bool selected = j % c.step == 0 && j <= c.last;
      want.insert(want.end(), selected ? (c.to > c.from ? 2 : 0) : 1, j - 1);
    }
    EXPECT_EQ(Convert(c.from, c.to, 1, false, in), Pick(in, 1, want));
  }
}

TEST_P(SampleRateTest, RefusesARateOnTheWrongSide) {
  ws_.Put("audio/res1.wav", BuildWav({.rate = 1000}, Ramp(1500, 2)));
  RIFF record{};
  ASSERT_TRUE(GetInfo(record, kSecondSourceWav));
  for (int rate : {1000, 900}) EXPECT_TRUE(RaiseSample(record, rate).refused());
  for (int rate : {1000, 0, -5}) EXPECT_TRUE(LowerSample(record, rate).refused());
  EXPECT_EQ(ws_.Get("audio/res1.wav"), BuildWav({.rate = 1000}, Ramp(1500, 2)));
}

TOLVA_ALL_ENGINE_SETTINGS(SampleRateTest);

}  // namespace
}  // namespace tolva::testing
