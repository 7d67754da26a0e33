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
};

const PitchCase kCases[] = {
    {"W 4, shorter than a window", 1, 100, 90, 0.5, 0.53, 3},
    {"W 4, exactly one window", 2, 100, 90, 0.5, 0.54, 4},
    {"W 4, exactly two windows", 2, 100, 90, 0.25, 0.33, 8},
    {"W 4, two windows and a half", 1, 100, 90, 0.5, 0.61, 10},
    {"W 4, from the start", 2, 100, 40, 0.0, 0.26, 26},
    {"W 4, to the end of the audio", 1, 100, 40, 0.1, 0.4, 30},
    {"W 4, past the end", 2, 100, 40, 0.1, 3.0, 30},
    {"W 5, shorter than a window", 1, 125, 100, 0.2, 0.232, 4},
    {"W 5, exactly three windows", 2, 125, 100, 0.2, 0.32, 15},
    {"W 5, not a multiple", 1, 125, 100, 0.2, 0.384, 23},
    {"W 441, exactly three windows", 2, 11025, 3000, 0.01, 0.13, 1323},
    {"W 441, not a multiple", 1, 11025, 3000, 0.01, 0.2, 2094},
    {"W 1764, shorter than a window", 2, 44100, 2000, 0.01, 0.03, 881},
    {"W 1764, exactly two windows", 1, 44100, 4000, 0.0, 0.08, 3528},
    {"W 1764, exactly three windows", 2, 44100, 6000, 0.01, 0.13, 5292},
    {"W 1764, not a multiple", 1, 44100, 6000, 0.01, 0.125, 5071},
};

WavLayout LayoutOf(const PitchCase& c, bool fact) {
  WavLayout layout;
  layout.channels = c.channels;
  layout.rate = c.rate;
  layout.fact = fact;
  return layout;
}

class RaiseToneTest : public EffectTest {};

TEST_P(RaiseToneTest, EqualsPassAfterPassOfTheWindowLoop) {
  for (const PitchCase& c : kCases) {
    Reference ref{c.channels, c.rate, c.begin, c.end};
    Samples in = Ramp(c.frames, c.channels);
    ASSERT_EQ(ref.Length(in), static_cast<double>(c.length)) << c.name;
    Bytes wav = BuildWav(LayoutOf(c, c.channels == 1), in);
    for (int amount : {0, 1, 2, 3, 5, -3}) {
      SCOPED_TRACE(::testing::Message() << c.name << ", amount " << amount);
      RIFF record = Install(wav);
      ASSERT_TRUE(RaiseTone(record, c.begin, c.end, amount).ok());
      Bytes out = ws_.Working();
      ASSERT_EQ(out.size(), wav.size());
      EXPECT_TRUE(std::equal(out.begin(), out.begin() + record.DataOffset, wav.begin()));
      EXPECT_EQ(SamplesOf(out), ref.RaiseTone(in, amount));
      EXPECT_FALSE(ws_.Has("audio/temp.wav"));
    }
  }
}

TEST_P(RaiseToneTest, ManyPassesCostOnePass) {
  for (const PitchCase& c : {kCases[3], kCases[9], kCases[11]}) {
    Reference ref{c.channels, c.rate, c.begin, c.end};
    Samples in = Ramp(c.frames, c.channels);
    for (int amount : {37, 1000}) {
      SCOPED_TRACE(::testing::Message() << c.name << ", amount " << amount);
      RIFF record = Install(BuildWav(LayoutOf(c, false), in));
      ASSERT_TRUE(RaiseTone(record, c.begin, c.end, amount).ok());
      EXPECT_EQ(SamplesOf(ws_.Working()), ref.RaiseTone(in, amount));
    }
  }
  // Small windows settle after a few passes, so the largest amount can be
  // checked against a pass count the loop can still run.
  for (const PitchCase& c : {kCases[3], kCases[9]}) {
    SCOPED_TRACE(c.name);
    Reference ref{c.channels, c.rate, c.begin, c.end};
    Samples in = Ramp(c.frames, c.channels);
    Samples settled = ref.RaiseTone(in, 64);
    ASSERT_EQ(settled, ref.RaiseTone(in, 65));
    RIFF record = Install(BuildWav(LayoutOf(c, false), in));
    ASSERT_TRUE(RaiseTone(record, c.begin, c.end, std::numeric_limits<int>::max()).ok());
    EXPECT_EQ(SamplesOf(ws_.Working()), settled);
  }
}

// Window orders written out by hand: W = 5 gives s1 s3 s4 s2 s4, W = 4 gives
// s1 s3 s1 s3; a second pass reorders the result the same way. The range is
// frames 1 to 11: two windows processed, what is left of the range copied.
TEST_P(RaiseToneTest, WindowOrdersOfOddAndEvenWindows) {
  struct Case {
    int rate;
    int amount;
    Samples want;
  } cases[] = {
      {125, 1, {10, 12, 14, 15, 13, 15, 17, 19, 20, 18, 20, 21}},
      {125, 2, {10, 14, 13, 15, 15, 15, 19, 18, 20, 20, 20, 21}},
      {100, 1, {10, 12, 14, 12, 14, 16, 18, 16, 18, 19, 20, 21}},
      {100, 2, {10, 14, 14, 14, 14, 18, 18, 18, 18, 19, 20, 21}},
  };
  WavLayout layout;
  layout.channels = 1;
  Samples in = {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "rate " << c.rate << ", amount " << c.amount);
    layout.rate = c.rate;
    RIFF record = Install(BuildWav(layout, in));
    ASSERT_TRUE(RaiseTone(record, 1.0 / c.rate, 12.0 / c.rate, c.amount).ok());
    EXPECT_EQ(SamplesOf(ws_.Working()), c.want);
  }
}

TEST_P(RaiseToneTest, RefusesRatesWithoutAWindow) {
  WavLayout layout;
  layout.channels = 1;
  layout.rate = 24;
  Bytes wav = BuildWav(layout, Ramp(100, 1));
  RIFF record = Install(wav);
  EXPECT_TRUE(RaiseTone(record, 0.0, 2.0, 1).refused());
  EXPECT_TRUE(ModeratePro(record, 0.0, 2.0, 2).refused());
  EXPECT_EQ(ws_.Working(), wav);
  layout.rate = 25;
  record = Install(BuildWav(layout, Ramp(100, 1)));
  EXPECT_TRUE(RaiseTone(record, 0.0, 2.0, 1).ok());
}

TOLVA_ALL_ENGINE_SETTINGS(RaiseToneTest);

class ModerateProTest : public EffectTest {};

TEST_P(ModerateProTest, EqualsRaiseThenRepeat) {
  for (const PitchCase& c : kCases) {
    const bool fact = c.channels == 2;
    Reference ref{c.channels, c.rate, c.begin, c.end};
    Samples in = Ramp(c.frames, c.channels);
    Bytes wav = BuildWav(LayoutOf(c, fact), in);
    for (int amount : {1, 2, 3, 5}) {
      SCOPED_TRACE(::testing::Message() << c.name << ", amount " << amount);
      RIFF record = Install(wav);
      const RIFF before = record;
      ASSERT_TRUE(ModeratePro(record, c.begin, c.end, amount).ok());
      Bytes out = ws_.Working();
      Samples want = ref.Moderate(ref.RaiseTone(in, amount >> 1), amount);
      EXPECT_EQ(SamplesOf(out), want);
      const int32_t gained = static_cast<int32_t>(c.length * (amount - 1));
      RIFF header = HeaderOf(out);
      EXPECT_EQ(header.DataSize, before.DataSize + gained * 2 * c.channels);
      EXPECT_EQ(header.ChunkSize, before.ChunkSize + gained * 2 * c.channels);
      EXPECT_EQ(header.FactData, fact ? before.FactData + gained : before.FactData);
      EXPECT_EQ(out.size(), static_cast<size_t>(header.DataOffset + header.DataSize));
      EXPECT_EQ(record.DataSize, header.DataSize);
      EXPECT_EQ(record.FactData, header.FactData);
      EXPECT_FALSE(ws_.Has("audio/temp.wav"));
    }
  }
}

TEST_P(ModerateProTest, SecondsGrowAsForTheSlowDown) {
  WavLayout layout;
  layout.channels = 2;
  layout.rate = 100;
  Samples in = Ramp(350, 2);
  struct Case {
    double begin, end;
    int amount;
    int32_t seconds;
  } cases[] = {
      {0.0, 1.0, 2, 4},  // 1 × 1 + 3
      {0.5, 1.0, 2, 3},  // 0.5 × 1 + 3
      {0.5, 1.0, 4, 4},  // 0.5 × 3 + 3
      {1.0, 9.0, 2, 5},  // cut short to the 2.5 s left: 2.5 + 3
  };
  for (const Case& c : cases) {
    RIFF record = Install(BuildWav(layout, in));
    ASSERT_EQ(record.Seconds, 3);
    ASSERT_TRUE(ModeratePro(record, c.begin, c.end, c.amount).ok());
    EXPECT_EQ(record.Seconds, c.seconds);
  }
}

TEST_P(ModerateProTest, RefusesFactorsBelowOneAndResultsTooLarge) {
  WavLayout layout;
  layout.channels = 2;
  layout.rate = 1000;
  Bytes wav = BuildWav(layout, Ramp(1000, 2));
  for (int amount : {0, -1, std::numeric_limits<int>::min(), 600000}) {
    SCOPED_TRACE(amount);
    RIFF record = Install(wav);
    const RIFF before = record;
    EXPECT_TRUE(ModeratePro(record, 0.0, 1.0, amount).refused());
    EXPECT_EQ(ws_.Working(), wav);
    EXPECT_EQ(record.DataSize, before.DataSize);
  }
}

TOLVA_ALL_ENGINE_SETTINGS(ModerateProTest);

}  // namespace
}  // namespace tolva::testing
