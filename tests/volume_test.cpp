#include <cmath>

#include "effects.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

// The expected result computed independently: frames from floor(rate × begin)
// up to floor(rate × end) scaled, truncated toward zero and clipped.
Samples ExpectedVolume(const Samples& in, int channels, int rate, double begin, double end,
                       double amount) {
  Samples out = in;
  int64_t frames = static_cast<int64_t>(in.size()) / channels;
  int64_t first = std::min<int64_t>(frames, static_cast<int64_t>(std::floor(rate * begin)));
  int64_t last = std::min<int64_t>(frames, static_cast<int64_t>(std::floor(rate * end)));
  for (int64_t i = first * channels; i < last * channels; ++i) {
    double v = std::trunc(in[i] * amount);
    out[i] = static_cast<int16_t>(v > 32767 ? 32767 : v < -32768 ? -32768 : v);
  }
  return out;
}

class VolumeTest : public EffectTest {};

struct VolumeCase {
  const char* name;
  int channels;
  int rate;
  int64_t frames;
  double begin, end, amount;
};

TEST_P(VolumeTest, ScalesExactlyTheFramesOfTheRange) {
  const VolumeCase cases[] = {
      {"half, stereo", 2, 1000, 3500, 1.0, 2.0, 0.5},
      {"fractional ends", 2, 44100, 3000, 0.00001, 0.00003, 3.0},
      {"fractional mid", 1, 1000, 2500, 0.2505, 1.7777, -1.0},
      {"from start", 1, 1000, 2000, 0.0, 1.0, 0.0},
      {"to the end", 2, 1000, 2000, 1.5, 2.0, 2.0},
      {"past the end is clamped", 2, 1000, 2000, 1.5, 9.0, 1.5},
      {"amount one", 2, 1000, 1200, 0.0, 1.0, 1.0},
      {"huge gain clips", 1, 1000, 1500, 0.0, 1.0, 1e12},
      {"huge negative gain clips", 2, 1000, 1500, 0.1, 1.0, -1e12},
  };
  for (const VolumeCase& c : cases) {
    SCOPED_TRACE(c.name);
    WavLayout layout;
    layout.channels = c.channels;
    layout.rate = c.rate;
    Samples in = Ramp(c.frames, c.channels);
    Bytes wav = BuildWav(layout, in);
    RIFF record = Install(wav);
    ASSERT_TRUE(EditVoice(record, c.begin, c.end, c.amount).ok());
    Bytes out = ws_.Working();
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 44), Bytes(wav.begin(), wav.begin() + 44));
    EXPECT_EQ(SamplesOf(out), ExpectedVolume(in, c.channels, c.rate, c.begin, c.end, c.amount));
    EXPECT_FALSE(ws_.Has("audio/temp.wav"));
  }
}

TEST_P(VolumeTest, ClipsInsteadOfWrappingAndTruncatesTowardZero) {
  WavLayout layout;
  layout.channels = 1;
  layout.rate = 10;
  Samples in = {20000, -20000, 3, -3, 32767, -32768, 1, -1, 0, 16384};
  struct Case {
    double amount;
    Samples want;
  } cases[] = {
      {2.0, {32767, -32768, 6, -6, 32767, -32768, 2, -2, 0, 32767}},
      {0.5, {10000, -10000, 1, -1, 16383, -16384, 0, 0, 0, 8192}},
      {-1.0, {-20000, 20000, -3, 3, -32767, 32767, -1, 1, 0, -16384}},
      {1.0, in},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.amount);
    RIFF record = Install(BuildWav(layout, in));
    ASSERT_TRUE(EditVoice(record, 0.0, 1.0, c.amount).ok());
    EXPECT_EQ(SamplesOf(ws_.Working()), c.want);
  }
}

TEST_P(VolumeTest, KeepsExtraFmtWordsFactChunkAndTrailingByte) {
  WavLayout layout;
  layout.channels = 2;
  layout.rate = 100;
  layout.extra_fmt_words = 1;
  layout.fact = true;
  Samples in = Ramp(250, 2);
  Bytes wav = BuildWav(layout, in);
  // A data chunk that ends in half a frame: the half frame is kept as it was.
  wav.push_back(0xAB);
  wav.push_back(0xCD);
  RIFF header = HeaderOf(wav);
  header.DataSize += 2;
  header.ChunkSize += 2;
  std::vector<uint8_t> image = HeaderImage(header);
  std::copy(image.begin(), image.end(), wav.begin());
  RIFF record = Install(wav);
  ASSERT_TRUE(EditVoice(record, 0.5, 2.0, 0.5).ok());
  Bytes out = ws_.Working();
  ASSERT_EQ(out.size(), wav.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), out.begin()));
  EXPECT_EQ(out[out.size() - 2], 0xAB);
  EXPECT_EQ(out[out.size() - 1], 0xCD);
  Samples want = ExpectedVolume(in, 2, 100, 0.5, 2.0, 0.5);
  Samples got = SamplesOf(out);
  got.pop_back();
  EXPECT_EQ(got, want);
}

TOLVA_ALL_ENGINE_SETTINGS(VolumeTest);

}  // namespace
}  // namespace tolva::testing
