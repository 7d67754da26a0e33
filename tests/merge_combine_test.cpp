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

// Stereo, ten frames per second: frames 0 to 19 of a ramp are the working file,
// frames 100 to 129 the second source. floor((end − begin) × 10) frames from
// the second source's floor(10 × begin) go in at the frame of the position,
// each limited to the audio there is.
TEST_P(MergeCombineTest, InsertsTheSecondSourceRangeAtThePosition) {
  const struct {
    double position, begin, end;
    Frames want;
  } cases[] = {
      {0.0, 0.5, 1.25, Join({Span(105, 112), Span(0, 20)})},
      {0.7, 0.15, 0.34, Join({Span(0, 7), {101}, Span(7, 20)})},
      {2.0, 1.0, 2.0, Join({Span(0, 20), Span(110, 120)})},
      {9.0, 1.0, 2.0, Join({Span(0, 20), Span(110, 120)})},
      {0.5, 2.0, 4.0, Join({Span(0, 5), Span(120, 130), Span(5, 20)})},
  };
  const Samples ramp = Ramp(130, 2);
  const WavLayout layout = {.channels = 2, .rate = 10, .fact = true};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "row " << &c - cases);
    const RIFF second = PutSecond(layout, Pick(ramp, 2, Span(100, 130)));
    EXPECT_EQ(Apply(BuildWav(layout, Pick(ramp, 2, Span(0, 20))),
                    [&](RIFF& r) { return Merge(r, second, c.position, c.begin, c.end); }),
              Pick(ramp, 2, c.want));
  }
}

// Ten frames per second. The mix is (w + s) / 2 toward zero and never clips;
// a second source of another channel count is converted: mono doubled, stereo
// averaged toward zero.
TEST_P(MergeCombineTest, MixesAndConvertsChannels) {
  const Samples z(12, 0), h = {0, 100, 200, 300, 400, 500, 600, 700, 800, 900, 1000, 1100};
  const struct {
    bool mix;
    double position, begin, end;
    int channels;
    Samples working;
    int second_channels;
    Samples second, want;
  } cases[] = {
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
    EXPECT_EQ(Apply(BuildWav({.channels = c.channels, .rate = 10}, c.working),
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

// Per whole second, D = |to − from| frames are repeated (raising) or dropped
// (lowering): those numbered c, 2c, ..., D × c from 1, c = from / D. Raising
// more than twice (c = 0) spreads the repeats evenly. What follows the last
// whole second is gone.
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
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.from << " to " << c.to);
    const Samples in = Ramp(c.frames, c.channels);
    EXPECT_EQ(Convert(c.from, c.to, c.channels, c.channels == 1, in), Pick(in, c.channels, c.want));
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
