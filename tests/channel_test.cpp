#include <algorithm>
#include <cmath>

#include "effects.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

struct ChannelCase {
  const char* name;
  int channels;
  int rate;
  int64_t frames;
  double begin, end;
  int channel;
};

// The range counted by its duration: floor((end − begin) × rate) frames from
// floor(rate × begin), limited to the audio.
Samples ExpectedSilenced(const Samples& in, const ChannelCase& c) {
  Samples out = in;
  if (c.channel < 0 || c.channel >= c.channels) return out;
  int64_t first = std::min<int64_t>(c.frames, static_cast<int64_t>(std::floor(c.rate * c.begin)));
  int64_t count = static_cast<int64_t>(std::floor((c.end - c.begin) * c.rate));
  int64_t stop = std::min<int64_t>(c.frames, first + count);
  for (int64_t f = first; f < stop; ++f) out[f * c.channels + c.channel] = 0;
  return out;
}

class CutChannelTest : public EffectTest {};

TEST_P(CutChannelTest, SilencesOneChannelOverTheRangeByDuration) {
  const ChannelCase cases[] = {
      {"stereo left, one second", 2, 1000, 3000, 1.0, 2.0, 0},
      {"stereo right", 2, 1000, 3000, 1.0, 2.0, 1},
      {"mono", 1, 1000, 2000, 0.25, 1.5, 0},
      {"mono, channel one names no channel", 1, 1000, 2000, 0.25, 1.5, 1},
      {"negative channel", 2, 1000, 2000, 0.25, 1.5, -1},
      {"channel two of stereo", 2, 1000, 2000, 0.25, 1.5, 2},
      {"from the start", 2, 1000, 1500, 0.0, 0.5, 1},
      {"duration one frame short of the frame of end", 2, 44100, 1400, 0.01, 0.03, 0},
      {"to the end", 1, 1000, 1500, 0.5, 1.5, 0},
      {"past the end is clamped", 2, 1000, 1500, 0.5, 9.0, 1},
      {"beginning past the end", 2, 1000, 1500, 2.0, 3.0, 0},
  };
  for (const ChannelCase& c : cases) {
    SCOPED_TRACE(c.name);
    WavLayout layout;
    layout.channels = c.channels;
    layout.rate = c.rate;
    layout.fact = c.channels == 1;
    Samples in = Ramp(c.frames, c.channels);
    Bytes wav = BuildWav(layout, in);
    RIFF record = Install(wav);
    ASSERT_TRUE(CutChannel(record, c.begin, c.end, c.channel).ok());
    Bytes out = ws_.Working();
    ASSERT_EQ(out.size(), wav.size());
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + record.DataOffset, wav.begin()));
    EXPECT_EQ(SamplesOf(out), ExpectedSilenced(in, c));
    EXPECT_FALSE(ws_.Has("audio/temp.wav"));
  }
}

TEST_P(CutChannelTest, KeepsTheFrameJustBeforeTheFrameOfEnd) {
  // 0.02 s at 44100 is 881.99… frames: frames 441 to 1321 are silenced, 1322 is not.
  WavLayout layout;
  Samples in = Ramp(1400, 2);
  RIFF record = Install(BuildWav(layout, in));
  ASSERT_TRUE(CutChannel(record, 0.01, 0.03, 0).ok());
  Samples out = SamplesOf(ws_.Working());
  EXPECT_EQ(out[440 * 2], in[440 * 2]);
  EXPECT_EQ(out[441 * 2], 0);
  EXPECT_EQ(out[1321 * 2], 0);
  EXPECT_EQ(out[1321 * 2 + 1], in[1321 * 2 + 1]);
  EXPECT_EQ(out[1322 * 2], in[1322 * 2]);
}

TOLVA_ALL_ENGINE_SETTINGS(CutChannelTest);

}  // namespace
}  // namespace tolva::testing
