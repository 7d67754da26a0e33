#include <algorithm>

#include "effects.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

class CutChannelTest : public EffectTest {};

// The range is counted by its duration: floor((end − begin) × rate) frames
// from floor(rate × begin), written out per case as `first` and `count`
// (clamped to the audio).
TEST_P(CutChannelTest, SilencesOneChannelOverTheRangeByDuration) {
  const struct {
    const char* name;
    int channels, rate;
    int64_t frames;
    double begin, end;
    int channel;
    int64_t first, count;
  } cases[] = {
      {"stereo left, one second", 2, 1000, 3000, 1.0, 2.0, 0, 1000, 1000},
      {"stereo right", 2, 1000, 3000, 1.0, 2.0, 1, 1000, 1000},
      {"mono", 1, 1000, 2000, 0.25, 1.5, 0, 250, 1250},
      {"from the start", 2, 1000, 1500, 0.0, 0.5, 1, 0, 500},
      // 0.02 × 44100 is 881.99…: frame 1322, before the frame of end, is kept.
      {"duration one frame short of the frame of end", 2, 44100, 1400, 0.01, 0.03, 0, 441, 881},
      {"past the end is clamped", 2, 1000, 1500, 0.5, 9.0, 1, 500, 1000},
      {"beginning past the end", 2, 1000, 1500, 2.0, 3.0, 0, 1500, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Samples in = Ramp(c.frames, c.channels);
    const Bytes wav =
        BuildWav({.channels = c.channels, .rate = c.rate, .fact = c.channels == 1}, in);
    RIFF record = Install(wav);
    ASSERT_TRUE(CutChannel(record, c.begin, c.end, c.channel).ok());
    Samples want = in;
    for (int64_t f = c.first; f < c.first + c.count; ++f) want[f * c.channels + c.channel] = 0;
    const Bytes out = ws_.Working();
    ASSERT_EQ(out.size(), wav.size());
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + record.DataOffset, wav.begin()));
    EXPECT_EQ(SamplesOf(out), want);
  }
}

// Index 1 of a mono file, a negative index, index 2 of a stereo file.
TEST_P(CutChannelTest, AnIndexThatNamesNoChannelLeavesTheFileAsItWas) {
  for (auto [channels, channel] : {std::pair{1, 1}, {2, -1}, {2, 2}}) {
    SCOPED_TRACE(::testing::Message() << channels << " channels, index " << channel);
    const Bytes wav = BuildWav({.channels = channels, .rate = 1000}, Ramp(2000, channels));
    RIFF record = Install(wav);
    ASSERT_TRUE(CutChannel(record, 0.25, 1.5, channel).ok());
    EXPECT_EQ(ws_.Working(), wav);
  }
}

TOLVA_ALL_ENGINE_SETTINGS(CutChannelTest);

}  // namespace
}  // namespace tolva::testing
