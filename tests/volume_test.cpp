#include "effects.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

class VolumeTest : public EffectTest {};

// Ten frames per second, a trailing odd byte after the last sample. The range
// is every frame from floor(10 × begin) up to floor(10 × end), clamped.
TEST_P(VolumeTest, ScalesTheFramesFromTheFrameOfBeginToTheFrameOfEnd) {
  const Samples in = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const struct {
    double begin, end;
    Samples want;
  } cases[] = {
      {0.25, 0.75, {1, 2, -3, -4, -5, -6, -7, 8, 9, 10, 11, 12}},
      {0.01, 0.13, {-1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
      {0.15, 0.34, {1, -2, -3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
      {0.9, 5.0, {1, 2, 3, 4, 5, 6, 7, 8, 9, -10, -11, -12}},
      {1.5, 2.0, in},
  };
  Bytes wav = BuildWav({.channels = 1, .rate = 10}, in, 2 * in.size() + 1);
  wav.push_back(0x5A);
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.begin << " to " << c.end);
    EXPECT_EQ(Apply(wav, [&](RIFF& r) { return EditVoice(r, c.begin, c.end, -1.0); }), c.want);
  }
}

// Both channels of a stereo frame; products truncated toward zero and clipped
// to the 16-bit range instead of wrapping around.
TEST_P(VolumeTest, TruncatesTowardZeroAndClips) {
  const Samples in = {20000, -20000, 3, -3, 32767, -32768, 1, -1, 0, 16384};
  const struct {
    double amount;
    Samples want;
  } cases[] = {
      {2.0, {32767, -32768, 6, -6, 32767, -32768, 2, -2, 0, 32767}},
      {0.5, {10000, -10000, 1, -1, 16383, -16384, 0, 0, 0, 8192}},
      {-1.0, {-20000, 20000, -3, 3, -32767, 32767, -1, 1, 0, -16384}},
      {1e12, {32767, -32768, 32767, -32768, 32767, -32768, 32767, -32768, 0, 32767}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.amount);
    const Bytes wav = BuildWav({.channels = 2, .rate = 5}, in);
    EXPECT_EQ(Apply(wav, [&](RIFF& r) { return EditVoice(r, 0.0, 1.0, c.amount); }), c.want);
  }
}

TOLVA_ALL_ENGINE_SETTINGS(VolumeTest);

}  // namespace
}  // namespace tolva::testing
