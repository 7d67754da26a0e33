#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "effects.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

// The raise as a plain frame-by-frame loop: every pass reads the whole audio,
// fills a table of slots window by window (frame k to slot k / 2, then slot
// k / 2 copied to slot (W + k) / 2), writes the slots out, and copies the rest.
struct Reference {
  int channels;
  int rate;
  double begin, end;

  double First() const { return std::floor(rate * begin); }
  double Window() const { return std::floor(rate / 25.0); }
  // The range by its duration, limited to the audio.
  double Length(const Samples& audio) const {
    double frames = static_cast<double>(audio.size() / channels);
    return std::min(std::floor((end - begin) * rate), frames - First());
  }

  void Pass(Samples& audio) const {
    static std::vector<std::array<int16_t, 2>> slots(100000);
    const double first = First(), length = Length(audio), window = Window();
    Samples out;
    size_t read = 0;
    for (int64_t i = 0; i < first; ++i)
      for (int c = 0; c < channels; ++c) out.push_back(audio[read++]);
    for (double j = 0; j < length - window; j += window) {
      const int64_t w = static_cast<int64_t>(window);
      for (int64_t k = 0; k < w; ++k) {
        for (int c = 0; c < channels; ++c) {
          slots[k / 2][c] = audio[read++];
          slots[(w + k) / 2][c] = slots[k / 2][c];
        }
      }
      for (int64_t m = 0; m < w; ++m)
        for (int c = 0; c < channels; ++c) out.push_back(slots[m][c]);
    }
    while (read < audio.size()) out.push_back(audio[read++]);
    audio = out;
  }

  Samples RaiseTone(Samples audio, int amount) const {
    do {
      Pass(audio);
    } while (--amount > 0);
    return audio;
  }

  Samples Moderate(const Samples& audio, int amount) const {
    const int64_t first = static_cast<int64_t>(First());
    const int64_t stop = first + static_cast<int64_t>(Length(audio));
    Samples out(audio.begin(), audio.begin() + first * channels);
    for (int64_t f = first; f < stop; ++f)
      for (int k = 0; k < amount; ++k)
        for (int c = 0; c < channels; ++c) out.push_back(audio[f * channels + c]);
    out.insert(out.end(), audio.begin() + stop * channels, audio.end());
    return out;
  }
};

struct PitchCase {
  const char* name;
  int channels;
  int rate;
  int64_t frames;
  double begin, end;
  int64_t length;  // the range's frames, checked so that the name stays true

  Reference Ref() const { return {channels, rate, begin, end}; }
  Bytes Wav(const Samples& in, bool fact) const {
    return BuildWav({.channels = channels, .rate = rate, .fact = fact}, in);
  }
};

const PitchCase kCases[] = {
    {"W 4, shorter than a window", 1, 100, 90, 0.5, 0.53, 3},
    {"W 4, exactly one window", 2, 100, 90, 0.5, 0.54, 4},
    {"W 4, exactly two windows", 2, 100, 90, 0.25, 0.33, 8},
    {"W 4, two windows and a half", 1, 100, 90, 0.5, 0.61, 10},
    {"W 4, from the start", 2, 100, 40, 0.0, 0.26, 26},
    {"W 4, past the end", 2, 100, 40, 0.1, 3.0, 30},
    {"W 5, shorter than a window", 1, 125, 100, 0.2, 0.232, 4},
    {"W 5, exactly three windows", 2, 125, 100, 0.2, 0.32, 15},
    {"W 5, not a multiple", 1, 125, 100, 0.2, 0.384, 23},
    {"W 441, not a multiple", 1, 11025, 3000, 0.01, 0.2, 2094},
    {"W 1764, shorter than a window", 2, 44100, 2000, 0.01, 0.03, 881},
    {"W 1764, exactly two windows", 1, 44100, 4000, 0.0, 0.08, 3528},
};

class PitchTest : public EffectTest {};

TEST_P(PitchTest, RaiseEqualsTheWindowLoopPassAfterPassAndModerateProRepeatsTheRaise) {
  for (const PitchCase& c : kCases) {
    const Samples in = Ramp(c.frames, c.channels);
    ASSERT_EQ(c.Ref().Length(in), static_cast<double>(c.length)) << c.name;
    const Bytes wav = c.Wav(in, c.channels == 1);
    for (int amount : {0, 1, 2, 3, 5, -3}) {
      SCOPED_TRACE(::testing::Message() << c.name << ", amount " << amount);
      RIFF record = Install(wav);
      ASSERT_TRUE(RaiseTone(record, c.begin, c.end, amount).ok());
      Bytes out = ws_.Working();
      ASSERT_EQ(out.size(), wav.size());
      EXPECT_TRUE(std::equal(out.begin(), out.begin() + record.DataOffset, wav.begin()));
      EXPECT_EQ(SamplesOf(out), c.Ref().RaiseTone(in, amount));
      if (amount < 1) continue;
      record = Install(wav);
      const RIFF before = record;
      ASSERT_TRUE(ModeratePro(record, c.begin, c.end, amount).ok());
      out = ws_.Working();
      EXPECT_EQ(SamplesOf(out), c.Ref().Moderate(c.Ref().RaiseTone(in, amount >> 1), amount));
      ExpectResizedBy(before, record, out, c.length * (amount - 1));
    }
  }
}

// A window of 5 settles after a few passes, so the largest amount is checked
// against a pass count the loop can still run.
TEST_P(PitchTest, ManyPassesEqualTheLoopRunThatOften) {
  const struct {
    const PitchCase& c;
    int amount, passes;
  } runs[] = {{kCases[3], 37, 37},
              {kCases[9], 1000, 1000},
              {kCases[8], std::numeric_limits<int>::max(), 64}};
  for (const auto& [c, amount, passes] : runs) {
    SCOPED_TRACE(::testing::Message() << c.name << ", amount " << amount);
    const Samples in = Ramp(c.frames, c.channels);
    const Samples want = c.Ref().RaiseTone(in, passes);
    if (amount != passes) {
      ASSERT_EQ(want, c.Ref().RaiseTone(in, passes + 1)) << "not settled";
    }
    RIFF record = Install(c.Wav(in, false));
    ASSERT_TRUE(RaiseTone(record, c.begin, c.end, amount).ok());
    EXPECT_EQ(SamplesOf(ws_.Working()), want);
  }
}

// Window orders written out by hand: W = 5 gives s1 s3 s4 s2 s4, W = 4 gives
// s1 s3 s1 s3; a second pass reorders the result the same way. The range is
// frames 1 to 11: two windows processed, what is left of the range copied.
TEST_P(PitchTest, WindowOrdersOfOddAndEvenWindows) {
  const struct {
    int rate, amount;
    Samples want;
  } cases[] = {
      {125, 1, {10, 12, 14, 15, 13, 15, 17, 19, 20, 18, 20, 21}},
      {125, 2, {10, 14, 13, 15, 15, 15, 19, 18, 20, 20, 20, 21}},
      {100, 1, {10, 12, 14, 12, 14, 16, 18, 16, 18, 19, 20, 21}},
      {100, 2, {10, 14, 14, 14, 14, 18, 18, 18, 18, 19, 20, 21}},
  };
  const Samples in = {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "rate " << c.rate << ", amount " << c.amount);
    RIFF record = Install(BuildWav({.channels = 1, .rate = c.rate}, in));
    ASSERT_TRUE(RaiseTone(record, 1.0 / c.rate, 12.0 / c.rate, c.amount).ok());
    EXPECT_EQ(SamplesOf(ws_.Working()), c.want);
  }
}

TEST_P(PitchTest, RefusesRatesWithoutAWindowLeavingTheFileAsItWas) {
  const Bytes wav = BuildWav({.channels = 1, .rate = 24}, Ramp(100, 1));
  RIFF record = Install(wav);
  EXPECT_TRUE(RaiseTone(record, 0.0, 2.0, 1).refused());
  EXPECT_TRUE(ModeratePro(record, 0.0, 2.0, 2).refused());
  EXPECT_EQ(ws_.Working(), wav);
  record = Install(BuildWav({.channels = 1, .rate = 25}, Ramp(100, 1)));
  EXPECT_TRUE(RaiseTone(record, 0.0, 2.0, 1).ok());
}

TOLVA_ALL_ENGINE_SETTINGS(PitchTest);

}  // namespace
}  // namespace tolva::testing
