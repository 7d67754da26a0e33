#include "effects.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

class CutChannelTest : public EffectTest {};

// Ten frames per second, 12 frames. The range is counted by its duration:
// floor((end − begin) × 10) frames from floor(10 × begin), written out per case
// as `first` and `count`. An index that names no channel changes nothing.
TEST_P(CutChannelTest, SilencesOneChannelOverTheRangeByDuration) {
  const struct {
    int channels;
    double begin, end;
    int channel;
    int64_t first, count;
  } cases[] = {
      {2, 0.2, 0.5, 0, 2, 3},   {2, 0.2, 0.5, 1, 2, 3},  {1, 0.0, 0.4, 0, 0, 4},
      {2, 0.15, 0.34, 1, 1, 1},  // 1.9 frames: frame 2, before the frame of end, is kept
      {2, 0.5, 9.0, 0, 5, 7},   {2, 1.5, 2.0, 0, 12, 0}, {1, 0.0, 0.4, 1, 0, 0},
      {2, 0.0, 0.4, -1, 0, 0},  {2, 0.0, 0.4, 2, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.channels << " channels, index " << c.channel << ", "
                                      << c.begin << " to " << c.end);
    const Samples in = Ramp(12, c.channels);
    Samples want = in;
    for (int64_t f = c.first; f < c.first + c.count; ++f) want[f * c.channels + c.channel] = 0;
    const Bytes wav = BuildWav({.channels = c.channels, .rate = 10, .fact = true}, in);
    EXPECT_EQ(Apply(wav, [&](RIFF& r) { return CutChannel(r, c.begin, c.end, c.channel); }), want);
  }
}

TOLVA_ALL_ENGINE_SETTINGS(CutChannelTest);

}  // namespace
}  // namespace tolva::testing
