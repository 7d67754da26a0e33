#include <algorithm>
#include <cmath>
#include <limits>

#include "effects.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

struct RangeCase {
  const char* name;
  int channels, rate;
  int64_t frames;
  double begin, end;
  bool fact;
};

// Frames from floor(rate × begin) up to floor(rate × end), both limited to the audio.
std::pair<int64_t, int64_t> RangeFrames(const RangeCase& c) {
  auto frame = [&](double t) { return std::min<int64_t>(c.frames, std::floor(c.rate * t)); };
  return {frame(c.begin), std::max(frame(c.begin), frame(c.end))};
}

const RangeCase kRanges[] = {
    {"within one second", 2, 1000, 2500, 0.5, 0.7, false},
    {"head empty, one whole second, tail", 1, 1000, 3000, 1.0, 2.5, true},
    {"head only, ending on a second", 2, 1000, 2000, 0.5, 1.0, false},
    {"tail then head", 2, 1000, 2000, 0.7, 1.2, true},
    {"whole seconds only", 1, 1000, 3500, 1.0, 3.0, false},
    {"from the start across seconds", 2, 1000, 4200, 0.0, 3.4567, false},
    {"past the end is clamped", 2, 1000, 2600, 1.3, 7.0, true},
    {"beginning past the end", 1, 1000, 1600, 2.0, 3.0, false},
    {"fractional frame times", 2, 44100, 3000, 0.00001, 0.00003, false},
    {"fractional frame times across a second", 1, 1001, 2600, 0.33333, 2.33334, true},
    {"first frame of a second only", 1, 1000, 1500, 1.0, 1.001, false},
};

class ReverseCutTest : public EffectTest {};

// Reverse writes the range frames backwards, whole frames in channel order;
// CutOff drops them and shrinks the header, leaving Seconds alone.
TEST_P(ReverseCutTest, ReverseAndCutTouchExactlyTheRangeFrames) {
  for (const RangeCase& c : kRanges) {
    SCOPED_TRACE(c.name);
    const Samples in = Ramp(c.frames, c.channels);
    const Bytes wav = BuildWav({.channels = c.channels, .rate = c.rate, .fact = c.fact}, in);
    auto [first, last] = RangeFrames(c);
    Samples reversed = in;
    for (int64_t f = first; f < last; ++f) {
      std::copy_n(in.begin() + (first + last - 1 - f) * c.channels, c.channels,
                  reversed.begin() + f * c.channels);
    }
    RIFF record = Install(wav);
    ASSERT_TRUE(Reverse(record, c.begin, c.end).ok());
    Bytes out = ws_.Working();
    ASSERT_EQ(out.size(), wav.size());
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + record.DataOffset, wav.begin()));
    EXPECT_EQ(SamplesOf(out), reversed);

    Samples cut(in.begin(), in.begin() + first * c.channels);
    cut.insert(cut.end(), in.begin() + last * c.channels, in.end());
    record = Install(wav);
    const RIFF before = record;
    ASSERT_TRUE(CutOff(record, c.begin, c.end).ok());
    out = ws_.Working();
    EXPECT_EQ(SamplesOf(out), cut);
    ExpectResizedBy(before, record, out, first - last);
    EXPECT_EQ(record.Seconds, before.Seconds);
  }
}

TEST_P(ReverseCutTest, CutOfHalfASecondOfStereoAt44100Is22050Frames) {
  RIFF record = Install(BuildWav({.fact = true}, Ramp(70000, 2)));
  const RIFF before = record;
  ASSERT_TRUE(CutOff(record, 1.0, 1.5).ok());
  ExpectResizedBy(before, record, ws_.Working(), -22050);
  EXPECT_EQ(record.DataSize, before.DataSize - 88200);
  EXPECT_EQ(record.FactData, 70000 - 22050);
}

TEST_P(ReverseCutTest, CutKeepsATrailingHalfFrame) {
  const Samples in = Ramp(300, 2);
  Bytes wav = BuildWav({.rate = 100}, in, in.size() * 2 + 2);
  wav.insert(wav.end(), {0x12, 0x34});
  RIFF record = Install(wav);
  ASSERT_TRUE(CutOff(record, 1.0, 2.0).ok());
  const Bytes out = ws_.Working();
  ASSERT_EQ(out.size(), wav.size() - 400);
  EXPECT_EQ(Bytes(out.end() - 2, out.end()), (Bytes{0x12, 0x34}));
  EXPECT_EQ(HeaderOf(out).DataSize, HeaderOf(wav).DataSize - 400);
}

// A second that does not fit the reversal's buffer; a fact count that the cut
// would take out of 32 bits.
TEST_P(ReverseCutTest, RefusalsLeaveFileAndRecordAsTheyWere) {
  Bytes wav = BuildWav({.channels = 1, .rate = 100001}, Ramp(500, 1));
  RIFF record = Install(wav);
  Status s = Reverse(record, 0.0, 0.001);
  EXPECT_TRUE(s.refused()) << s.message();
  EXPECT_EQ(ws_.Working(), wav);
  record = Install(BuildWav({.channels = 1, .rate = 100000}, Ramp(500, 1)));
  EXPECT_TRUE(Reverse(record, 0.0, 0.001).ok());

  wav = BuildWav({.channels = 1, .rate = 100, .fact = true}, Ramp(200, 1));
  RIFF header = HeaderOf(wav);
  header.FactData = std::numeric_limits<int32_t>::min() + 5;
  const std::vector<uint8_t> image = HeaderImage(header);
  std::copy(image.begin(), image.end(), wav.begin());
  record = Install(wav);
  s = CutOff(record, 0.0, 1.0);
  EXPECT_TRUE(s.refused()) << s.message();
  EXPECT_EQ(ws_.Working(), wav);
  EXPECT_EQ(HeaderImage(record), image);
}

TOLVA_ALL_ENGINE_SETTINGS(ReverseCutTest);

}  // namespace
}  // namespace tolva::testing
