#include <algorithm>
#include <cmath>
#include <limits>

#include "effects.h"
#include "second_source.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

struct TwoSourceCase {
  const char* name;
  int rate;
  int channels, second_channels;
  int64_t frames, second_frames;
  double position, begin, end;
  bool fact;
};

int64_t Floor(double v) {
  return static_cast<int64_t>(std::floor(v));
}

// The second source's frames as the working file takes them: its channels
// brought to `channels` (mono duplicated, stereo averaged toward zero).
Samples AsChannels(const Samples& in, int from, int to) {
  if (from == to) return in;
  Samples out;
  for (size_t f = 0; f < in.size() / from; ++f) {
    if (to == 2) {
      out.insert(out.end(), {in[f], in[f]});
    } else {
      out.push_back(static_cast<int16_t>((in[2 * f] + in[2 * f + 1]) / 2));
    }
  }
  return out;
}

struct Plan {
  int64_t at, first, count;
};

// P = floor(rate × position), the second source's start floor(rate × begin),
// N = floor((end − begin) × rate), each limited to what the files hold.
Plan PlanOf(const TwoSourceCase& c, bool mix) {
  Plan p;
  p.at = std::min(c.frames, Floor(c.rate * c.position));
  p.first = std::min(c.second_frames, Floor(c.rate * c.begin));
  p.count = std::min(c.second_frames - p.first, Floor((c.end - c.begin) * c.rate));
  if (mix) p.count = std::min(p.count, c.frames - p.at);
  return p;
}

Samples ExpectedMerge(const Samples& work, const Samples& second, const TwoSourceCase& c) {
  const Plan p = PlanOf(c, false);
  const int ch = c.channels;
  Samples out(work.begin(), work.begin() + p.at * ch);
  out.insert(out.end(), second.begin() + p.first * ch, second.begin() + (p.first + p.count) * ch);
  out.insert(out.end(), work.begin() + p.at * ch, work.end());
  return out;
}

Samples ExpectedCombine(const Samples& work, const Samples& second, const TwoSourceCase& c) {
  const Plan p = PlanOf(c, true);
  const int ch = c.channels;
  Samples out = work;
  for (int64_t i = 0; i < p.count * ch; ++i) {
    const int16_t w = work[p.at * ch + i], s = second[p.first * ch + i];
    out[p.at * ch + i] = static_cast<int16_t>(std::trunc(0.5 * s + 0.5 * w));
  }
  return out;
}

// A ramp that differs from the working file's.
Samples OtherRamp(int64_t frames, int channels) {
  Samples s = Ramp(frames, channels);
  for (int16_t& v : s) v = static_cast<int16_t>(v ^ 0x5A5A);
  return s;
}

class MergeCombineTest : public EffectTest {
 protected:
  struct Inputs {
    Samples work, second;
    Bytes working_wav;
    RIFF working, second_record;
  };
  Inputs Put(const TwoSourceCase& c) {
    Inputs in;
    WavLayout layout;
    layout.channels = c.channels;
    layout.rate = c.rate;
    layout.fact = c.fact;
    in.work = Ramp(c.frames, c.channels);
    in.working_wav = BuildWav(layout, in.work);
    in.working = Install(in.working_wav);
    layout.channels = c.second_channels;
    layout.fact = false;
    in.second = OtherRamp(c.second_frames, c.second_channels);
    ws_.Put("audio/res1.wav", BuildWav(layout, in.second));
    EXPECT_TRUE(GetInfo(in.second_record, kSecondSourceWav));
    return in;
  }
  void ExpectNoScratch() {
    EXPECT_FALSE(ws_.Has("audio/res1.wav"));
    EXPECT_FALSE(ws_.Has("audio/temp.wav"));
  }
};

const TwoSourceCase kCases[] = {
    {"at 0", 1000, 2, 2, 3000, 2500, 0.0, 0.5, 1.25, false},
    {"mid-file", 1000, 2, 2, 3000, 2500, 1.5, 0.2505, 1.7777, true},
    {"at the end", 1000, 1, 1, 3000, 2500, 3.0, 1.0, 2.0, true},
    {"past the end appends", 1000, 2, 2, 3000, 2500, 9.0, 1.0, 2.0, false},
    {"second range past its end", 1000, 2, 2, 3000, 2500, 0.5, 2.0, 4.0, false},
    {"begin 1.00001 at 44100", 44100, 2, 2, 100000, 90000, 0.3, 1.00001, 1.50001, true},
    {"0.5 s at 44100 into 2.6 s", 44100, 2, 2, 114660, 90000, 2.0, 0.5, 1.0, false},
    {"fractions where roundings differ", 1000, 1, 1, 2000, 2000, 0.0015, 0.0015, 0.0045, false},
    {"mono second into stereo", 1000, 2, 1, 3000, 2500, 1.2, 0.3, 1.9, false},
    {"stereo second into mono", 1000, 1, 2, 3000, 2500, 0.7, 0.3, 1.9, true},
};

TEST_P(MergeCombineTest, MergeInsertsTheSecondSourceRange) {
  for (const TwoSourceCase& c : kCases) {
    SCOPED_TRACE(c.name);
    Inputs in = Put(c);
    RIFF working = in.working;
    ASSERT_TRUE(Merge(working, in.second_record, c.position, c.begin, c.end).ok());
    const Samples second = AsChannels(in.second, c.second_channels, c.channels);
    Bytes out = ws_.Working();
    EXPECT_EQ(SamplesOf(out), ExpectedMerge(in.work, second, c));
    const int64_t grown = PlanOf(c, false).count;
    EXPECT_EQ(working.DataSize, in.working.DataSize + grown * 2 * c.channels);
    EXPECT_EQ(working.ChunkSize, in.working.ChunkSize + grown * 2 * c.channels);
    EXPECT_EQ(working.FactData, in.working.FactData + (c.fact ? grown : 0));
    EXPECT_EQ(HeaderOf(out).DataSize, working.DataSize);
    EXPECT_EQ(HeaderImage(HeaderOf(out)), HeaderImage(working));
    ExpectNoScratch();
  }
}

TEST_P(MergeCombineTest, CombineMixesFromPositionAndStopsAtTheEnd) {
  for (const TwoSourceCase& c : kCases) {
    SCOPED_TRACE(c.name);
    Inputs in = Put(c);
    RIFF working = in.working;
    ASSERT_TRUE(Combine(working, in.second_record, c.position, c.begin, c.end).ok());
    const Samples second = AsChannels(in.second, c.second_channels, c.channels);
    Bytes out = ws_.Working();
    ASSERT_EQ(out.size(), in.working_wav.size());
    EXPECT_TRUE(
        std::equal(out.begin(), out.begin() + in.working.DataOffset, in.working_wav.begin()));
    EXPECT_EQ(SamplesOf(out), ExpectedCombine(in.work, second, c));
    EXPECT_EQ(HeaderImage(working), HeaderImage(in.working));
    ExpectNoScratch();
  }
}

TEST_P(MergeCombineTest, CombineAveragesTowardZeroWithoutClipping) {
  struct Case {
    Samples work, second, want;
  } cases[] = {
      {{1000, -1001, 1, -1}, {0, 0, 0, 0}, {500, -500, 0, 0}},
      {{32767, -32768, 32767, -3}, {32767, -32768, -32768, 0}, {32767, -32768, 0, -1}},
  };
  WavLayout layout;
  layout.channels = 1;
  layout.rate = 4;
  for (const Case& c : cases) {
    RIFF working = Install(BuildWav(layout, c.work));
    ws_.Put("audio/res1.wav", BuildWav(layout, c.second));
    ASSERT_TRUE(Combine(working, working, 0.0, 0.0, 1.0).ok());
    EXPECT_EQ(SamplesOf(ws_.Working()), c.want);
  }
}

// Only SampleRate, NumChannels, BitsPerSample and DataOffset come from the
// second record; its sizes may describe another file altogether.
TEST_P(MergeCombineTest, TakesOnlyTheLayoutFromTheSecondRecord) {
  const TwoSourceCase c = kCases[1];
  for (bool mix : {false, true}) {
    Inputs in = Put(c);
    RIFF second = in.second_record;
    second.DataSize = 4;
    second.ChunkSize = 40;
    second.Seconds = 0;
    second.FactData = -7;
    second.HasFact = true;
    RIFF working = in.working;
    ASSERT_TRUE((mix ? Combine(working, second, c.position, c.begin, c.end)
                     : Merge(working, second, c.position, c.begin, c.end))
                    .ok());
    EXPECT_EQ(SamplesOf(ws_.Working()),
              mix ? ExpectedCombine(in.work, in.second, c) : ExpectedMerge(in.work, in.second, c));
  }
}

TEST_P(MergeCombineTest, RefusesAResultTooLargeForTheHeaderBeforeTouchingAnything) {
  const TwoSourceCase c = kCases[0];
  Inputs in = Put(c);
  RIFF working = in.working;
  working.DataSize = std::numeric_limits<int32_t>::max() - 100;
  working.ChunkSize = working.DataSize + 36;
  Status s = Merge(working, in.second_record, 0.0, 0.0, 1.0);
  EXPECT_TRUE(s.refused()) << s.message();
  EXPECT_EQ(ws_.Working(), in.working_wav);
  ExpectNoScratch();
}

TEST_P(MergeCombineTest, FailsWithoutASecondSourceAndKeepsTheWorkingFile) {
  const TwoSourceCase c = kCases[0];
  Inputs in = Put(c);
  fs::remove("audio/res1.wav");
  RIFF working = in.working;
  EXPECT_TRUE(Merge(working, in.second_record, 0.0, 0.0, 1.0).failed());
  EXPECT_TRUE(Combine(working, in.second_record, 0.0, 0.0, 1.0).failed());
  EXPECT_EQ(ws_.Working(), in.working_wav);
  EXPECT_EQ(HeaderImage(working), HeaderImage(in.working));
  ExpectNoScratch();
}

TOLVA_ALL_ENGINE_SETTINGS(MergeCombineTest);

struct FoldCase {
  const char* name;
  int working_rate, second_rate;
  int channels, second_channels;
  double position, begin, end;
};

// Inserting or mixing from a second source of another rate, converted while it
// is read, gives the bytes of converting the file first and then merging.
class ConvertWhileReadingTest : public EffectTest {};

TEST_P(ConvertWhileReadingTest, GivesTheBytesOfConvertingFirst) {
  const FoldCase cases[] = {
      {"48000 into 44100", 44100, 48000, 2, 2, 0.5, 0.3, 1.7},
      {"32000 into 44100", 44100, 32000, 1, 2, 1.0, 0.0, 2.0},
      {"22050 into 44100", 44100, 22050, 2, 1, 0.0, 1.25, 2.0},
      {"16000 into 44100", 44100, 16000, 1, 1, 2.0, 0.1, 1.9},
      {"44100 into 16000", 16000, 44100, 2, 2, 0.75, 0.5, 1.5},
      {"24000 into 48000", 48000, 24000, 2, 1, 0.2, 1.0, 2.0},
      {"tiny 7 into 9", 9, 7, 2, 2, 1.0, 0.3, 4.4},
      {"tiny 9 into 7", 7, 9, 1, 2, 2.0, 0.0, 5.0},
  };
  for (const FoldCase& c : cases) {
    for (bool mix : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (mix ? ", mix" : ", insert"));
      WavLayout layout;
      layout.channels = c.channels;
      layout.rate = c.working_rate;
      // Short files at audio rates, longer ones at the tiny rates.
      const int seconds = c.working_rate < 100 ? 5 : 2;
      const Bytes working_wav = BuildWav(layout, Ramp(c.working_rate * seconds + 5, c.channels));
      layout.channels = c.second_channels;
      layout.rate = c.second_rate;
      const Bytes second_wav = BuildWav(
          layout, OtherRamp(c.second_rate * seconds + c.second_rate / 2, c.second_channels));

      RIFF working = Install(working_wav);
      ws_.Put("audio/res1.wav", second_wav);
      RIFF second{};
      ASSERT_TRUE(GetInfo(second, kSecondSourceWav));
      ASSERT_TRUE((c.working_rate > c.second_rate ? RaiseSample(second, c.working_rate)
                                                  : LowerSample(second, c.working_rate))
                      .ok());
      ASSERT_TRUE((mix ? Combine(working, second, c.position, c.begin, c.end)
                       : Merge(working, second, c.position, c.begin, c.end))
                      .ok());
      const Bytes two_steps = ws_.Working();

      RIFF folded = Install(working_wav);
      ws_.Put("audio/res1.wav", second_wav);
      RIFF raw{};
      ASSERT_TRUE(GetInfo(raw, kSecondSourceWav));
      SecondSource source;
      ASSERT_TRUE(
          source.Open(paths::kSecondWav, raw, raw.DataSize, c.working_rate, c.channels).ok());
      ASSERT_TRUE((mix ? CombineFrom(folded, source, c.position, c.begin, c.end)
                       : MergeFrom(folded, source, c.position, c.begin, c.end))
                      .ok());
      EXPECT_EQ(ws_.Working(), two_steps);
      EXPECT_EQ(HeaderImage(folded), HeaderImage(working));
      fs::remove("audio/res1.wav");
    }
  }
}

// Every setting is covered for Merge, Combine and the conversions above; here
// a small block with kernel copies and the defaults keep the run short.
INSTANTIATE_TEST_SUITE_P(Engine, ConvertWhileReadingTest,
                         ::testing::Values(kEngineSettings[1], kEngineSettings[3]), SettingName);

}  // namespace
}  // namespace tolva::testing
