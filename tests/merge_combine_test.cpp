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

TOLVA_ALL_ENGINE_SETTINGS(MergeCombineTest);

}  // namespace
}  // namespace tolva::testing
