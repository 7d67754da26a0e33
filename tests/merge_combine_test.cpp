#include <algorithm>
#include <limits>

#include "effects.h"
#include "second_source.h"
#include "two_source_rules.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

// A ramp that differs from the working file's.
Samples OtherRamp(int64_t frames, int channels) {
  Samples s = Ramp(frames, channels);
  for (int16_t& v : s) v = static_cast<int16_t>(v ^ 0x5A5A);
  return s;
}

Status InsertOrMix(bool mix, RIFF& working, const RIFF& second, const Range& r) {
  return mix ? Combine(working, second, r.position, r.begin, r.end)
             : Merge(working, second, r.position, r.begin, r.end);
}

struct TwoSourceCase {
  const char* name;
  int rate;
  int channels, second_channels;
  int64_t frames, second_frames;
  Range range;
  bool fact;
};

const TwoSourceCase kCases[] = {
    {"at 0", 1000, 2, 2, 3000, 2500, {0.0, 0.5, 1.25}, false},
    {"mid-file", 1000, 2, 2, 3000, 2500, {1.5, 0.2505, 1.7777}, true},
    {"at the end", 1000, 1, 1, 3000, 2500, {3.0, 1.0, 2.0}, true},
    {"past the end appends", 1000, 2, 2, 3000, 2500, {9.0, 1.0, 2.0}, false},
    {"second range past its end", 1000, 2, 2, 3000, 2500, {0.5, 2.0, 4.0}, false},
    {"44100, begin 1.00001", 44100, 2, 2, 20000, 70000, {0.3, 1.00001, 1.50001}, true},
    {"44100, 0.5 s at 2.0 s", 44100, 2, 2, 114660, 44100, {2.0, 0.5, 1.0}, false},
    {"roundings differ", 1000, 1, 1, 2000, 2000, {0.0015, 0.0015, 0.0045}, false},
    {"mono second into stereo", 1000, 2, 1, 3000, 2500, {1.2, 0.3, 1.9}, false},
    {"stereo second into mono", 1000, 1, 2, 3000, 2500, {0.7, 0.3, 1.9}, true},
};

class MergeCombineTest : public EffectTest {
 protected:
  struct Inputs {
    Samples work, second;
    Bytes working_wav;
    RIFF working, second_record;
  };
  Inputs Put(const TwoSourceCase& c) {
    Inputs in;
    in.work = Ramp(c.frames, c.channels);
    in.working_wav = BuildWav(WavLayout{c.channels, c.rate, 0, c.fact}, in.work);
    in.working = Install(in.working_wav);
    in.second = OtherRamp(c.second_frames, c.second_channels);
    ws_.Put("audio/res1.wav", BuildWav(WavLayout{c.second_channels, c.rate}, in.second));
    EXPECT_TRUE(GetInfo(in.second_record, kSecondSourceWav));
    // Only the layout of the second record may be used: sizes of another file.
    in.second_record.DataSize = 4;
    in.second_record.ChunkSize = 40;
    in.second_record.Seconds = 0;
    in.second_record.FactData = -7;
    in.second_record.HasFact = true;
    return in;
  }
};

TEST_P(MergeCombineTest, InsertsOrMixesTheSecondSourceRange) {
  for (const TwoSourceCase& c : kCases) {
    for (bool mix : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (mix ? ", mix" : ", insert"));
      Inputs in = Put(c);
      RIFF working = in.working;
      const Range& r = c.range;
      ASSERT_TRUE(InsertOrMix(mix, working, in.second_record, r).ok());
      int64_t grown = 0;
      const Samples want =
          TwoSourceResult(in.work, ToChannels(in.second, c.second_channels, c.channels), c.channels,
                          c.rate, r, mix, &grown);
      const Bytes want_wav = GrownWav(in.working_wav, grown, want);
      EXPECT_EQ(HeaderImage(working), HeaderImage(HeaderOf(want_wav)));
      EXPECT_EQ(ws_.Working(), want_wav);
      EXPECT_EQ(ws_.AudioFiles(), std::vector<std::string>{"output.wav"});
    }
  }
}

TEST_P(MergeCombineTest, CombineAveragesTowardZeroWithoutClipping) {
  struct Case {
    Samples work, second, want;
  } cases[] = {
      {{1000, -1001, 1, -1}, {0, 0, 0, 0}, {500, -500, 0, 0}},
      {{32767, -32768, 32767, -3}, {32767, -32768, -32768, 0}, {32767, -32768, 0, -1}},
  };
  for (const Case& c : cases) {
    RIFF working = Install(BuildWav(WavLayout{1, 4}, c.work));
    ws_.Put("audio/res1.wav", BuildWav(WavLayout{1, 4}, c.second));
    ASSERT_TRUE(Combine(working, working, 0.0, 0.0, 1.0).ok());
    EXPECT_EQ(SamplesOf(ws_.Working()), c.want);
  }
}

// A result too large for the header is refused and a missing second source
// fails, both before the working file changes.
TEST_P(MergeCombineTest, RefusesOrFailsBeforeTouchingTheWorkingFile) {
  const struct { bool too_large, mix; } cases[] = {{true, false}, {false, false}, {false, true}};
  for (auto [too_large, mix] : cases) {
    SCOPED_TRACE(too_large ? "too large"
                 : mix     ? "mix without a source"
                           : "insert without a source");
    Inputs in = Put(kCases[0]);
    RIFF working = in.working;
    if (too_large) {
      working.DataSize = std::numeric_limits<int32_t>::max() - 100;
      working.ChunkSize = working.DataSize + 36;
    } else {
      fs::remove("audio/res1.wav");
    }
    const RIFF given = working;
    const Status s = InsertOrMix(mix, working, in.second_record, {0.0, 0.0, 1.0});
    EXPECT_TRUE(too_large ? s.refused() : s.failed()) << s.message();
    EXPECT_EQ(HeaderImage(working), HeaderImage(given));
    EXPECT_EQ(ws_.AudioFiles(), std::vector<std::string>{"output.wav"});
    EXPECT_EQ(ws_.Working(), in.working_wav);
  }
}

TOLVA_ALL_ENGINE_SETTINGS(MergeCombineTest);

struct FoldCase {
  const char* name;
  int working_rate, second_rate;
  int channels, second_channels;
  Range range;
};

// Inserting or mixing from a second source of another rate and channel count,
// converted while it is read, gives the bytes of converting the file first
// and then merging, from a start anywhere in a second.
class ConvertWhileReadingTest : public EffectTest {};

TEST_P(ConvertWhileReadingTest, GivesTheBytesOfConvertingFirst) {
  const FoldCase cases[] = {
      {"48000 into 44100", 44100, 48000, 2, 2, {0.5, 0.3, 1.7}},
      {"32000 stereo into 44100 mono", 44100, 32000, 1, 2, {1.0, 0.0, 2.0}},
      {"22050 mono into 44100 stereo", 44100, 22050, 2, 1, {0.0, 1.25, 2.0}},
      {"16000 into 44100, more than twice", 44100, 16000, 1, 1, {1.1, 0.1, 1.9}},
      {"44100 into 16000", 16000, 44100, 2, 2, {0.75, 0.5, 1.5}},
      {"tiny 7 into 9", 9, 7, 2, 2, {1.0, 0.3, 4.4}},
      {"tiny 9 into 7", 7, 9, 1, 2, {2.0, 0.0, 5.0}},
      {"tiny 3 into 10, range past the end", 10, 3, 2, 1, {0.5, 1.7, 9.0}},
  };
  for (const FoldCase& c : cases) {
    SCOPED_TRACE(c.name);
    const bool tiny = c.working_rate < 100;
    const Bytes working_wav = BuildWav(WavLayout{c.channels, c.working_rate},
                                       Ramp(c.working_rate * (tiny ? 5 : 6) / 5 + 5, c.channels));
    const Bytes second_wav =
        BuildWav(WavLayout{c.second_channels, c.second_rate},
                 OtherRamp(c.second_rate * (tiny ? 5 : 2) + c.second_rate / 2, c.second_channels));
    ws_.Put("audio/res1.wav", second_wav);
    RIFF raw{}, converted{};
    ASSERT_TRUE(GetInfo(raw, kSecondSourceWav));
    converted = raw;
    ASSERT_TRUE((c.working_rate > c.second_rate ? RaiseSample(converted, c.working_rate)
                                                : LowerSample(converted, c.working_rate))
                    .ok());
    const Bytes converted_wav = ws_.Get("audio/res1.wav");
    const Range& r = c.range;
    for (bool mix : {false, true}) {
      SCOPED_TRACE(mix ? "mix" : "insert");
      RIFF working = Install(working_wav);
      ws_.Put("audio/res1.wav", converted_wav);
      ASSERT_TRUE(InsertOrMix(mix, working, converted, r).ok());
      const Bytes two_steps = ws_.Working();

      RIFF folded = Install(working_wav);
      ws_.Put("audio/res1.wav", second_wav);
      SecondSource source;
      ASSERT_TRUE(
          source.Open(paths::kSecondWav, raw, raw.DataSize, c.working_rate, c.channels).ok());
      ASSERT_TRUE((mix ? CombineFrom(folded, source, r.position, r.begin, r.end)
                       : MergeFrom(folded, source, r.position, r.begin, r.end))
                      .ok());
      EXPECT_EQ(ws_.Working(), two_steps);
      EXPECT_EQ(HeaderImage(folded), HeaderImage(working));
    }
  }
}

// Every setting is covered for Merge, Combine and the conversions above; here
// a small block with kernel copies and the defaults keep the run short.
INSTANTIATE_TEST_SUITE_P(Engine, ConvertWhileReadingTest,
                         ::testing::Values(kEngineSettings[1], kEngineSettings[3]), SettingName);

}  // namespace
}  // namespace tolva::testing
