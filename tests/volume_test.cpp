#include <cmath>

#include "effects.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

// Frames from floor(rate × begin) up to floor(rate × end) scaled, truncated
// toward zero and clipped.
Samples ExpectedVolume(const Samples& in, int channels, int rate, double begin, double end,
                       double amount) {
  Samples out = in;
  const int64_t frames = static_cast<int64_t>(in.size()) / channels;
  auto frame = [&](double t) { return std::min<int64_t>(frames, std::floor(rate * t)); };
  for (int64_t i = frame(begin) * channels; i < frame(end) * channels; ++i) {
    out[i] = static_cast<int16_t>(std::clamp(std::trunc(in[i] * amount), -32768.0, 32767.0));
  }
  return out;
}

class VolumeTest : public EffectTest {};

TEST_P(VolumeTest, ScalesExactlyTheFramesOfTheRange) {
  const struct {
    const char* name;
    int channels, rate;
    int64_t frames;
    double begin, end, amount;
  } cases[] = {
      {"half, stereo", 2, 1000, 3500, 1.0, 2.0, 0.5},
      {"fractional ends: frame 0 only", 2, 44100, 3000, 0.00001, 0.00003, 3.0},
      {"fractional mid", 1, 1000, 2500, 0.2505, 1.7777, -1.0},
      {"from start", 1, 1000, 2000, 0.0, 1.0, 0.0},
      {"to the end", 2, 1000, 2000, 1.5, 2.0, 2.0},
      {"past the end is clamped", 2, 1000, 2000, 1.5, 9.0, 1.5},
      {"huge gain clips both ways", 2, 1000, 1500, 0.1, 1.0, -1e12},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Samples in = Ramp(c.frames, c.channels);
    const Bytes wav = BuildWav({.channels = c.channels, .rate = c.rate}, in);
    RIFF record = Install(wav);
    ASSERT_TRUE(EditVoice(record, c.begin, c.end, c.amount).ok());
    const Bytes out = ws_.Working();
    EXPECT_TRUE(std::equal(wav.begin(), wav.begin() + 44, out.begin()));
    EXPECT_EQ(SamplesOf(out), ExpectedVolume(in, c.channels, c.rate, c.begin, c.end, c.amount));
    EXPECT_FALSE(ws_.Has("audio/temp.wav"));
  }
}

TEST_P(VolumeTest, ClipsInsteadOfWrappingAndTruncatesTowardZero) {
  const Samples in = {20000, -20000, 3, -3, 32767, -32768, 1, -1, 0, 16384};
  const struct {
    double amount;
    Samples want;
  } cases[] = {
      {2.0, {32767, -32768, 6, -6, 32767, -32768, 2, -2, 0, 32767}},
      {0.5, {10000, -10000, 1, -1, 16383, -16384, 0, 0, 0, 8192}},
      {-1.0, {-20000, 20000, -3, 3, -32767, 32767, -1, 1, 0, -16384}},
      {1.0, in},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.amount);
    RIFF record = Install(BuildWav({.channels = 1, .rate = 10}, in));
    ASSERT_TRUE(EditVoice(record, 0.0, 1.0, c.amount).ok());
    EXPECT_EQ(SamplesOf(ws_.Working()), c.want);
  }
}

TEST_P(VolumeTest, KeepsExtraFmtWordsFactChunkAndTrailingHalfFrame) {
  const Samples in = Ramp(250, 2);
  // DataSize counts a half frame after the samples: it is kept as it was.
  Bytes wav = BuildWav({.rate = 100, .extra_fmt_words = 1, .fact = true}, in, in.size() * 2 + 2);
  wav.insert(wav.end(), {0xAB, 0xCD});
  RIFF record = Install(wav);
  ASSERT_TRUE(EditVoice(record, 0.5, 2.0, 0.5).ok());
  const Bytes out = ws_.Working();
  ASSERT_EQ(out.size(), wav.size());
  EXPECT_TRUE(std::equal(wav.begin(), wav.begin() + record.DataOffset, out.begin()));
  EXPECT_EQ(Bytes(out.end() - 2, out.end()), (Bytes{0xAB, 0xCD}));
  Samples got = SamplesOf(out);
  got.pop_back();
  EXPECT_EQ(got, ExpectedVolume(in, 2, 100, 0.5, 2.0, 0.5));
}

TOLVA_ALL_ENGINE_SETTINGS(VolumeTest);

}  // namespace
}  // namespace tolva::testing
