#include <limits>

#include "effects.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

class MergeCombineTest : public EffectTest {
 protected:
  // Puts audio/res1.wav and returns its record with the sizes of another file:
  // only its format and layout may be used.
  RIFF PutSecond(const WavLayout& layout, const Samples& samples) {
    ws_.Put("audio/res1.wav", BuildWav(layout, samples));
    RIFF r{};
    EXPECT_TRUE(GetInfo(r, kSecondSourceWav));
    r.DataSize = 4;
    r.ChunkSize = 40;
    r.FactData = -7;
    r.HasFact = true;
    return r;
  }
};

// Ten frames per second. floor((end − begin) × 10) frames from the second
// source's floor(10 × begin) are inserted (Merge) or mixed (Combine: (w + s) / 2
// toward zero, never clipping) at the frame of the position, limited to the
// audio there is. Another channel count is converted: mono doubled, stereo
// averaged toward zero.
TEST_P(MergeCombineTest, InsertsOrMixesTheSecondSourceRange) {
  const Samples w = {1, 2, 3, 4, 5, 6}, z(12, 0);
  const Samples h = {0, 100, 200, 300, 400, 500, 600, 700, 800, 900, 1000, 1100};
  const struct {
    bool mix;
    double position, begin, end;
    int channels;
    Samples working;
    int second_channels;
    Samples second, want;
  } cases[] = {
      {false, 0.0, 0.5, 1.25, 1, w, 1, h, {500, 600, 700, 800, 900, 1000, 1100, 1, 2, 3, 4, 5, 6}},
      {false, 0.4, 0.15, 0.34, 1, w, 1, h, {1, 2, 3, 4, 100, 5, 6}},
      {false, 0.6, 1.0, 2.0, 1, w, 1, h, {1, 2, 3, 4, 5, 6, 1000, 1100}},
      {false, 9.0, 0.0, 0.2, 1, w, 1, h, {1, 2, 3, 4, 5, 6, 0, 100}},
      {true, 0.3, 0.2, 0.5, 1, z, 1, h, {0, 0, 0, 100, 150, 200, 0, 0, 0, 0, 0, 0}},
      {true, 1.0, 0.0, 0.5, 1, z, 1, h, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 50}},
      {true, 0.0, 0.15, 0.34, 1, z, 1, h, {50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {true, 0.0, 0.0, 0.4, 1, {1000, -1001, 1, -1}, 1, {0, 0, 0, 0}, {500, -500, 0, 0}},
      {true, 0.0, 0.0, 0.2, 1, {32767, -32768}, 1, {32767, -32768}, {32767, -32768}},
      {true, 0.0, 0.0, 0.2, 1, {32767, -3}, 1, {-32768, 0}, {0, -1}},
      {false, 0.2, 0.0, 0.2, 1, {1, 2, 3, 4}, 2, {100, 201, -100, -201}, {1, 2, 150, -150, 3, 4}},
      {false, 0.1, 0.2, 0.4, 2, {1, -1, 2, -2}, 1, {5, 6, 7, 8}, {1, -1, 7, 7, 8, 8, 2, -2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "row " << &c - cases);
    const RIFF second = PutSecond({.channels = c.second_channels, .rate = 10}, c.second);
    EXPECT_EQ(Apply(BuildWav({.channels = c.channels, .rate = 10, .fact = true}, c.working),
                    [&](RIFF& r) {
                      return (c.mix ? Combine : Merge)(r, second, c.position, c.begin, c.end);
                    }),
              c.want);
  }
}

// A result too large for the header is refused and a missing second source
// fails, both before the working file or the record change; the second source
// never outlives the call.
TEST_P(MergeCombineTest, RefusesOrFailsBeforeTouchingTheWorkingFile) {
  const WavLayout layout = {.channels = 2, .rate = 10};
  const Bytes wav = BuildWav(layout, Ramp(20, 2));
  const RIFF second = PutSecond(layout, Ramp(20, 2));
  for (int row = 0; row < 3; ++row) {
    SCOPED_TRACE(row);
    RIFF record = Install(wav);
    if (row == 0) record.DataSize = std::numeric_limits<int32_t>::max() - 10;
    const RIFF given = record;
    const Status s =
        row == 2 ? Combine(record, second, 0.0, 0.0, 1.0) : Merge(record, second, 0.0, 0.0, 1.0);
    EXPECT_TRUE(row == 0 ? s.refused() : s.failed()) << s.message();
    EXPECT_EQ(HeaderImage(record), HeaderImage(given));
    EXPECT_EQ(ws_.Working(), wav);
    EXPECT_EQ(ws_.AudioFiles(), std::vector<std::string>{"output.wav"});
  }
}

// The second source at another rate: per whole second, D = |to − from| frames
// are repeated (raising) or dropped (lowering), those numbered c, 2c, ..., D × c
// from 1, c = from / D; raising more than twice (c = 0) spreads the repeats
// evenly. What follows the last whole second is gone; the header says so.
TEST_P(MergeCombineTest, RepeatsOrDropsTheSelectedFramesOfEverySecond) {
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
  const Bytes working = BuildWav({}, Ramp(10, 2));
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.from << " to " << c.to);
    const Samples in = Ramp(c.frames, c.channels);
    ws_.PutWorking(working);
    ws_.Put("audio/res1.wav", BuildWav({.channels = c.channels, .rate = c.from, .fact = true}, in));
    RIFF record{};
    ASSERT_TRUE(GetInfo(record, kSecondSourceWav));
    RIFF want = record;
    want.SampleRate = c.to;
    want.ByteRate = c.to * 2 * c.channels;
    want.DataSize = static_cast<int32_t>(c.want.size()) * 2 * c.channels;
    want.ChunkSize += want.DataSize - record.DataSize;
    want.FactData = static_cast<int32_t>(c.want.size());
    EXPECT_TRUE((c.to > c.from ? RaiseSample(record, c.to) : LowerSample(record, c.to)).ok());
    const Bytes out = ws_.Get("audio/res1.wav");
    EXPECT_EQ(HeaderImage(HeaderOf(out)), HeaderImage(want));
    EXPECT_EQ(HeaderImage(record), HeaderImage(want));
    EXPECT_EQ(out.size(), static_cast<size_t>(want.DataOffset + want.DataSize));
    EXPECT_EQ(SamplesOf(out), Pick(in, c.channels, c.want));
    EXPECT_EQ(ws_.Working(), working);
    EXPECT_EQ(ws_.AudioFiles(), (std::vector<std::string>{"output.wav", "res1.wav"}));
  }
}

TEST_P(MergeCombineTest, RefusesARateOnTheWrongSide) {
  ws_.Put("audio/res1.wav", BuildWav({.rate = 1000}, Ramp(1500, 2)));
  RIFF record{};
  ASSERT_TRUE(GetInfo(record, kSecondSourceWav));
  for (int rate : {1000, 900}) EXPECT_TRUE(RaiseSample(record, rate).refused());
  for (int rate : {1000, 0, -5}) EXPECT_TRUE(LowerSample(record, rate).refused());
  EXPECT_EQ(ws_.Get("audio/res1.wav"), BuildWav({.rate = 1000}, Ramp(1500, 2)));
}

TOLVA_ALL_ENGINE_SETTINGS(MergeCombineTest);

}  // namespace
}  // namespace tolva::testing
