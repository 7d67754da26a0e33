#include <algorithm>
#include <cmath>
#include <limits>

#include "effects.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

struct RangeCase {
  const char* name;
  int channels;
  int rate;
  int64_t frames;
  double begin, end;
  bool fact;
};

// Frames from floor(rate × begin) up to floor(rate × end), both limited to the audio.
std::pair<int64_t, int64_t> RangeFrames(const RangeCase& c) {
  auto frame = [&](double t) {
    return std::min<int64_t>(c.frames, static_cast<int64_t>(std::floor(c.rate * t)));
  };
  return {frame(c.begin), std::max(frame(c.begin), frame(c.end))};
}

Samples ExpectedReverse(const Samples& in, const RangeCase& c) {
  auto [first, last] = RangeFrames(c);
  Samples out = in;
  for (int64_t i = first; i < last; ++i) {
    int64_t from = last - 1 - (i - first);
    for (int ch = 0; ch < c.channels; ++ch) out[i * c.channels + ch] = in[from * c.channels + ch];
  }
  return out;
}

Samples ExpectedCut(const Samples& in, const RangeCase& c) {
  auto [first, last] = RangeFrames(c);
  Samples out(in.begin(), in.begin() + first * c.channels);
  out.insert(out.end(), in.begin() + last * c.channels, in.end());
  return out;
}

WavLayout LayoutOf(const RangeCase& c) {
  WavLayout layout;
  layout.channels = c.channels;
  layout.rate = c.rate;
  layout.fact = c.fact;
  return layout;
}

const RangeCase kRanges[] = {
    {"within one second", 2, 1000, 2500, 0.5, 0.7, false},
    {"head empty, one whole second, tail", 1, 1000, 3000, 1.0, 2.5, true},
    {"head only, ending on a second", 2, 1000, 2000, 0.5, 1.0, false},
    {"tail then head", 2, 1000, 2000, 0.7, 1.2, true},
    {"whole seconds only", 1, 1000, 3500, 1.0, 3.0, false},
    {"from the start across seconds", 2, 1000, 4200, 0.0, 3.4567, false},
    {"to the end of the audio", 1, 1000, 2600, 1.3, 2.6, true},
    {"past the end is clamped", 2, 1000, 2600, 1.3, 7.0, false},
    {"beginning past the end", 1, 1000, 1600, 2.0, 3.0, false},
    {"fractional frame times", 2, 44100, 3000, 0.00001, 0.00003, false},
    {"fractional frame times across a second", 1, 1001, 2600, 0.33333, 2.33334, true},
    {"first frame of a second only", 1, 1000, 1500, 1.0, 1.001, false},
};

class ReverseTest : public EffectTest {};

TEST_P(ReverseTest, WritesExactlyTheRangeFramesBackwards) {
  for (const RangeCase& c : kRanges) {
    SCOPED_TRACE(c.name);
    Samples in = Ramp(c.frames, c.channels);
    Bytes wav = BuildWav(LayoutOf(c), in);
    RIFF record = Install(wav);
    ASSERT_TRUE(Reverse(record, c.begin, c.end).ok());
    Bytes out = ws_.Working();
    ASSERT_EQ(out.size(), wav.size());
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + record.DataOffset, wav.begin()));
    EXPECT_EQ(SamplesOf(out), ExpectedReverse(in, c));
    EXPECT_FALSE(ws_.Has("audio/temp.wav"));
  }
}

TEST_P(ReverseTest, KeepsChannelOrderWithinAFrame) {
  WavLayout layout;
  layout.channels = 2;
  layout.rate = 4;
  Samples in = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  RIFF record = Install(BuildWav(layout, in));
  ASSERT_TRUE(Reverse(record, 0.25, 1.5).ok());
  EXPECT_EQ(SamplesOf(ws_.Working()), (Samples{1, 2, 11, 12, 9, 10, 7, 8, 5, 6, 3, 4}));
}

TEST_P(ReverseTest, RefusesSampleRatesWhoseSecondDoesNotFitItsBuffer) {
  WavLayout layout;
  layout.channels = 1;
  layout.rate = 100001;
  Bytes wav = BuildWav(layout, Ramp(500, 1));
  RIFF record = Install(wav);
  Status s = Reverse(record, 0.0, 0.001);
  EXPECT_TRUE(s.refused()) << s.message();
  EXPECT_EQ(ws_.Working(), wav);

  layout.rate = 100000;
  wav = BuildWav(layout, Ramp(500, 1));
  record = Install(wav);
  EXPECT_TRUE(Reverse(record, 0.0, 0.001).ok());
}

TOLVA_ALL_ENGINE_SETTINGS(ReverseTest);

class CutOffTest : public EffectTest {};

TEST_P(CutOffTest, RemovesTheRangeFramesAndShrinksTheHeader) {
  for (const RangeCase& c : kRanges) {
    SCOPED_TRACE(c.name);
    Samples in = Ramp(c.frames, c.channels);
    Bytes wav = BuildWav(LayoutOf(c), in);
    RIFF record = Install(wav);
    const RIFF before = record;
    auto [first, last] = RangeFrames(c);
    const int32_t removed = static_cast<int32_t>(last - first);
    ASSERT_TRUE(CutOff(record, c.begin, c.end).ok());
    Bytes out = ws_.Working();
    RIFF header = HeaderOf(out);
    EXPECT_EQ(header.DataSize, before.DataSize - removed * 2 * c.channels);
    EXPECT_EQ(header.ChunkSize, before.ChunkSize - removed * 2 * c.channels);
    EXPECT_EQ(header.FactData, c.fact ? before.FactData - removed : before.FactData);
    EXPECT_EQ(header.HasFact, c.fact);
    EXPECT_EQ(out.size(), static_cast<size_t>(header.DataOffset + header.DataSize));
    EXPECT_EQ(SamplesOf(out), ExpectedCut(in, c));
    // The caller goes on with the record of the shortened file.
    EXPECT_EQ(record.DataSize, header.DataSize);
    EXPECT_EQ(record.ChunkSize, header.ChunkSize);
    EXPECT_EQ(record.FactData, header.FactData);
    EXPECT_EQ(record.Seconds, before.Seconds);
    EXPECT_FALSE(ws_.Has("audio/temp.wav"));
  }
}

TEST_P(CutOffTest, HalfASecondOfStereoAt44100) {
  WavLayout layout;
  layout.fact = true;
  Samples in = Ramp(2 * 44100, 2);
  RIFF record = Install(BuildWav(layout, in));
  const RIFF before = record;
  ASSERT_TRUE(CutOff(record, 1.0, 1.5).ok());
  EXPECT_EQ(record.DataSize, before.DataSize - 88200);
  EXPECT_EQ(record.ChunkSize, before.ChunkSize - 88200);
  EXPECT_EQ(record.FactData, 2 * 44100 - 22050);
  Samples out = SamplesOf(ws_.Working());
  ASSERT_EQ(out.size(), in.size() - 2 * 22050);
  EXPECT_EQ(FrameAt(out, 2, 44099), FrameAt(in, 2, 44099));
  EXPECT_EQ(FrameAt(out, 2, 44100), FrameAt(in, 2, 66150));
}

TEST_P(CutOffTest, KeepsATrailingHalfFrame) {
  WavLayout layout;
  layout.channels = 2;
  layout.rate = 100;
  Samples in = Ramp(300, 2);
  Bytes wav = BuildWav(layout, in);
  wav.push_back(0x12);
  wav.push_back(0x34);
  RIFF header = HeaderOf(wav);
  header.DataSize += 2;
  header.ChunkSize += 2;
  std::vector<uint8_t> image = HeaderImage(header);
  std::copy(image.begin(), image.end(), wav.begin());
  RIFF record = Install(wav);
  ASSERT_TRUE(CutOff(record, 1.0, 2.0).ok());
  Bytes out = ws_.Working();
  ASSERT_EQ(out.size(), wav.size() - 400);
  EXPECT_EQ(out[out.size() - 2], 0x12);
  EXPECT_EQ(out[out.size() - 1], 0x34);
  EXPECT_EQ(HeaderOf(out).DataSize, header.DataSize - 400);
}

TEST_P(CutOffTest, RefusesAFactCountThatWouldLeave32Bits) {
  WavLayout layout;
  layout.channels = 1;
  layout.rate = 100;
  layout.fact = true;
  Bytes wav = BuildWav(layout, Ramp(200, 1));
  RIFF header = HeaderOf(wav);
  header.FactData = std::numeric_limits<int32_t>::min() + 5;
  std::vector<uint8_t> image = HeaderImage(header);
  std::copy(image.begin(), image.end(), wav.begin());
  RIFF record = Install(wav);
  const RIFF before = record;
  Status s = CutOff(record, 0.0, 1.0);
  EXPECT_TRUE(s.refused()) << s.message();
  EXPECT_EQ(ws_.Working(), wav);
  EXPECT_EQ(record.FactData, before.FactData);
  EXPECT_EQ(record.DataSize, before.DataSize);
}

TOLVA_ALL_ENGINE_SETTINGS(CutOffTest);

}  // namespace
}  // namespace tolva::testing
