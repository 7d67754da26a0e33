#include <algorithm>
#include <cstring>

#include "effects.h"
#include "second_source.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

struct RateCase {
  const char* name;
  int from, to;
  int channels;
  double seconds;  // length of the second source
  bool fact;
};

// The frame rule written out: frames c, 2c, ..., D × c of every second
// (counted from 1) are written twice when raising and left out when lowering;
// the audio after the last whole second is gone.
Samples ExpectedBySelection(const Samples& in, int channels, int from, int to) {
  const int64_t d = to > from ? to - from : from - to;
  const int64_t c = from / d;
  const int64_t seconds = static_cast<int64_t>(in.size()) / channels / from;
  Samples out;
  for (int64_t s = 0; s < seconds; ++s) {
    for (int64_t j = 1; j <= from; ++j) {
      const bool selected = j % c == 0 && j <= c * d;
      int times = to > from ? (selected ? 2 : 1) : (selected ? 0 : 1);
      Samples frame = FrameAt(in, channels, s * from + j - 1);
      while (times-- > 0) out.insert(out.end(), frame.begin(), frame.end());
    }
  }
  return out;
}

class SampleRateTest : public EffectTest {
 protected:
  // Writes a ramp of `seconds` as audio/res1.wav; returns its samples.
  Samples PutSecond(const RateCase& c, RIFF* record) {
    WavLayout layout;
    layout.channels = c.channels;
    layout.rate = c.from;
    layout.fact = c.fact;
    Samples in = Ramp(static_cast<int64_t>(c.seconds * c.from), c.channels);
    ws_.Put("audio/res1.wav", BuildWav(layout, in));
    EXPECT_TRUE(GetInfo(*record, kSecondSourceWav));
    return in;
  }
  Status Convert(RIFF& record, int to) {
    return to > record.SampleRate ? RaiseSample(record, to) : LowerSample(record, to);
  }
  // The header of audio/res1.wav must be the record, and match the new rate.
  void ExpectHeader(const RIFF& record, const RateCase& c, int64_t whole_seconds) {
    Bytes file = ws_.Get("audio/res1.wav");
    RIFF on_disk = HeaderOf(file);
    EXPECT_EQ(HeaderImage(on_disk), HeaderImage(record));
    EXPECT_EQ(record.SampleRate, c.to);
    EXPECT_EQ(record.ByteRate, c.to * 2 * c.channels);
    EXPECT_EQ(record.DataSize, whole_seconds * c.to * 2 * c.channels);
    EXPECT_EQ(record.ChunkSize + 8 - record.DataSize, record.DataOffset);
    EXPECT_EQ(static_cast<int64_t>(file.size()), record.DataOffset + record.DataSize);
    if (c.fact) {
      EXPECT_EQ(record.FactData, whole_seconds * c.to);
    }
  }
};

TEST_P(SampleRateTest, RepeatsOrDropsTheSelectedFramesOfEverySecond) {
  const RateCase cases[] = {
      {"44100 to 48000, c 11", 44100, 48000, 1, 2.0, false},
      {"32000 to 44100, c 2", 32000, 44100, 2, 1.5, true},
      {"22050 to 44100, c 1", 22050, 44100, 2, 2.0, false},
      {"48000 to 44100, c 12", 48000, 44100, 1, 2.3, true},
      {"44100 to 22050, c 2", 44100, 22050, 2, 2.0, false},
      {"44100 to 16000, c 1", 44100, 16000, 1, 2.0, false},
      {"tiny raise, c 3", 10, 13, 2, 3.7, true},
      {"tiny lower, c 4", 13, 10, 2, 3.0, false},
      {"tiny lower, c 1", 13, 5, 1, 4.2, false},
      {"shorter than a second", 1000, 1100, 2, 0.6, true},
  };
  for (const RateCase& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes working = BuildWav(WavLayout{}, Ramp(300, 2));
    ws_.PutWorking(working);
    RIFF record{};
    Samples in = PutSecond(c, &record);
    const RIFF before = record;
    ASSERT_TRUE(Convert(record, c.to).ok());
    const int64_t whole = static_cast<int64_t>(c.seconds);
    ExpectHeader(record, c, whole);
    EXPECT_EQ(SamplesOf(ws_.Get("audio/res1.wav")),
              ExpectedBySelection(in, c.channels, c.from, c.to));
    EXPECT_EQ(record.Seconds, before.Seconds);
    EXPECT_EQ(record.DataOffset, before.DataOffset);
    EXPECT_EQ(record.NumChannels, before.NumChannels);
    if (!c.fact) {
      EXPECT_EQ(record.FactData, before.FactData);
    }
    EXPECT_EQ(ws_.Working(), working);
    EXPECT_FALSE(ws_.Has("audio/temp.wav"));
  }
}

// Counted per second of the result: how often each frame of the source second
// appears, and whether they appear in order.
void ExpectEvenSpread(const Samples& in, const Samples& out, int channels, int from, int to,
                      int64_t seconds) {
  ASSERT_EQ(static_cast<int64_t>(out.size()), seconds * to * channels);
  for (int64_t s = 0; s < seconds; ++s) {
    std::vector<int64_t> count(static_cast<size_t>(from), 0);
    int64_t j = 0;
    for (int64_t o = 0; o < to; ++o) {
      Samples frame = FrameAt(out, channels, s * to + o);
      while (j < from && FrameAt(in, channels, s * from + j) != frame) ++j;
      ASSERT_LT(j, from) << "frame " << o << " of second " << s << " is out of order";
      ++count[static_cast<size_t>(j)];
    }
    const int64_t low = to / from, high = (to + from - 1) / from;
    for (int64_t k = 0; k < from; ++k) {
      EXPECT_GE(count[static_cast<size_t>(k)], low) << "frame " << k;
      EXPECT_LE(count[static_cast<size_t>(k)], high) << "frame " << k;
    }
  }
}

TEST_P(SampleRateTest, RaisingMoreThanTwiceSpreadsTheRepeatsEvenlyWithinEachSecond) {
  const RateCase cases[] = {
      {"16000 to 44100", 16000, 44100, 1, 2.5, true},
      {"22050 to 48000", 22050, 48000, 2, 2.0, false},
      {"tiny 4 to 11", 4, 11, 2, 3.5, false},
      {"tiny 3 to 30", 3, 30, 1, 2.0, true},
  };
  for (const RateCase& c : cases) {
    SCOPED_TRACE(c.name);
    RIFF record{};
    // Distinct frames, so that every written frame names its source frame.
    WavLayout layout;
    layout.channels = c.channels;
    layout.rate = c.from;
    layout.fact = c.fact;
    const int64_t frames = static_cast<int64_t>(c.seconds * c.from);
    Samples in(static_cast<size_t>(frames * c.channels));
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<int16_t>(i / c.channels);
    ws_.Put("audio/res1.wav", BuildWav(layout, in));
    ASSERT_TRUE(GetInfo(record, kSecondSourceWav));
    ASSERT_TRUE(RaiseSample(record, c.to).ok());
    const int64_t whole = static_cast<int64_t>(c.seconds);
    ExpectHeader(record, c, whole);
    ExpectEvenSpread(in, SamplesOf(ws_.Get("audio/res1.wav")), c.channels, c.from, c.to, whole);
  }
}

TEST_P(SampleRateTest, RefusesARateOnTheWrongSideAndLeavesTheSourceAlone) {
  RIFF record{};
  Samples in = PutSecond({"", 1000, 0, 2, 1.5, false}, &record);
  Bytes before = ws_.Get("audio/res1.wav");
  EXPECT_TRUE(RaiseSample(record, 1000).refused());
  EXPECT_TRUE(RaiseSample(record, 900).refused());
  EXPECT_TRUE(LowerSample(record, 1000).refused());
  EXPECT_TRUE(LowerSample(record, 0).refused());
  EXPECT_TRUE(LowerSample(record, -5).refused());
  EXPECT_EQ(ws_.Get("audio/res1.wav"), before);
  EXPECT_EQ(record.SampleRate, 1000);
}

TOLVA_ALL_ENGINE_SETTINGS(SampleRateTest);

// Reading a second source through the converting reader gives the frames of
// the converted file, from any starting frame.
// The engine's block settings play no part in the reader: one setting is enough.
class ConvertingReaderTest : public SampleRateTest {};

TEST_P(ConvertingReaderTest, MatchesTheConvertedFileFromAnyFrame) {
  const RateCase cases[] = {
      {"raise c 11", 44100, 48000, 2, 2.2, false},
      {"raise c 2", 32000, 44100, 1, 2.0, true},
      {"raise past twice", 16000, 44100, 2, 2.0, false},
      {"lower c 12", 48000, 44100, 2, 2.0, false},
      {"lower c 1", 44100, 16000, 1, 2.5, false},
      {"tiny raise", 7, 9, 2, 5.5, false},
      {"tiny raise past twice", 3, 10, 1, 4.0, false},
      {"tiny lower", 9, 7, 2, 4.0, true},
  };
  for (const RateCase& c : cases) {
    SCOPED_TRACE(c.name);
    RIFF record{};
    PutSecond(c, &record);
    for (int channels : {1, 2}) {
      SCOPED_TRACE(channels);
      SecondSource reader;
      ASSERT_TRUE(reader.Open(paths::kSecondWav, record, record.DataSize, c.to, channels).ok());
      // The file conversion, with the channel conversion on top.
      RIFF converted = record;
      fs::copy_file("audio/res1.wav", "audio/keep.wav");
      ASSERT_TRUE(
          (c.to > c.from ? RaiseSample(converted, c.to) : LowerSample(converted, c.to)).ok());
      Samples file = SamplesOf(ws_.Get("audio/res1.wav"));
      fs::rename("audio/keep.wav", "audio/res1.wav");
      Samples want;
      for (int64_t f = 0; f < static_cast<int64_t>(file.size()) / c.channels; ++f) {
        Samples frame = FrameAt(file, c.channels, f);
        if (channels == c.channels) {
          want.insert(want.end(), frame.begin(), frame.end());
        } else if (channels == 2) {
          want.insert(want.end(), {frame[0], frame[0]});
        } else {
          want.push_back(static_cast<int16_t>((frame[0] + frame[1]) / 2));
        }
      }
      const int64_t frames = static_cast<int64_t>(want.size()) / channels;
      ASSERT_EQ(reader.frames(), frames);
      for (int64_t start :
           {int64_t{0}, int64_t{1}, frames / 3, frames / 2 + 7, frames - 5, frames}) {
        SCOPED_TRACE(start);
        start = std::clamp<int64_t>(start, 0, frames);
        reader.Seek(start);
        Samples got(static_cast<size_t>((frames - start) * channels));
        ASSERT_TRUE(reader.Read(got.data(), frames - start).ok());
        EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin() + start * channels));
      }
      EXPECT_FALSE(reader.Read(nullptr, 1).ok());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Engine, ConvertingReaderTest,
                         ::testing::Values(kEngineSettings[std::size(kEngineSettings) - 1]),
                         SettingName);

}  // namespace
}  // namespace tolva::testing
