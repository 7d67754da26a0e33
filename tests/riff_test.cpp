#include "riff.h"

#include <random>

#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

struct HeaderCase {
  const char* name;
  WavLayout layout;
  int64_t frames;
  int32_t data_offset;
  bool has_fact;
};

WavLayout Layout(int channels, int rate, int extra, bool fact) {
  WavLayout l;
  l.channels = channels;
  l.rate = rate;
  l.extra_fmt_words = extra;
  l.fact = fact;
  return l;
}

const HeaderCase kHeaderCases[] = {
    {"canonical", Layout(2, 44100, 0, false), 1000, 44, false},
    {"fmt size 18", Layout(1, 22050, 1, false), 333, 46, false},
    {"fact chunk", Layout(2, 48000, 0, true), 500, 56, true},
    {"extension and fact", Layout(2, 8000, 11, true), 17, 78, true},
    {"largest fmt extension", Layout(1, 8000, kFmtExtraWords, false), 3, 36 + 2 * 666 + 8, false},
};

TEST(Header, ReadsEveryLayoutAndWritesItBackByteForByte) {
  for (const HeaderCase& c : kHeaderCases) {
    SCOPED_TRACE(c.name);
    Bytes wav = BuildWav(c.layout, Ramp(c.frames, c.layout.channels));
    RIFF r{};
    ASSERT_TRUE(ParseHeader(wav.data(), wav.size(), r));
    EXPECT_EQ(r.DataOffset, c.data_offset);
    EXPECT_EQ(r.HasFact, c.has_fact);
    EXPECT_EQ(r.NumChannels, c.layout.channels);
    EXPECT_EQ(r.SampleRate, c.layout.rate);
    EXPECT_EQ(r.DataSize, c.frames * 2 * c.layout.channels);
    if (c.has_fact) {
      EXPECT_EQ(r.FactData, c.frames);
    }
    std::vector<uint8_t> image = HeaderImage(r);
    ASSERT_EQ(image.size(), static_cast<size_t>(c.data_offset));
    EXPECT_TRUE(std::equal(image.begin(), image.end(), wav.begin()));
  }
}

TEST(Header, ReadsAnyChunkStartingWithFAsATwelveByteFactChunk) {
  WavLayout layout = Layout(2, 44100, 0, true);
  std::memcpy(layout.fact_id, "fLLR", 4);
  Bytes wav = BuildWav(layout, Ramp(10, 2));
  RIFF r{};
  ASSERT_TRUE(ParseHeader(wav.data(), wav.size(), r));
  EXPECT_TRUE(r.HasFact);
  EXPECT_EQ(std::string(r.FactID, 4), "fLLR");
  EXPECT_EQ(r.DataOffset, 56);
  std::vector<uint8_t> image = HeaderImage(r);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), wav.begin()));
}

TEST(Header, SecondsTruncatesAndZeroByteRateGivesZero) {
  struct Case {
    int32_t data_size, byte_rate, seconds;
  } cases[] = {{150, 100, 1}, {99, 100, 0}, {300, 100, 3}, {500, 0, 0}};
  for (const Case& c : cases) {
    Bytes wav = BuildWav(Layout(1, 50, 0, false), Samples(c.data_size / 2));
    wav[28] = static_cast<uint8_t>(c.byte_rate);
    wav[29] = static_cast<uint8_t>(c.byte_rate >> 8);
    wav[30] = wav[31] = 0;
    RIFF r{};
    ASSERT_TRUE(ParseHeader(wav.data(), wav.size(), r));
    EXPECT_EQ(r.Seconds, c.seconds) << c.data_size << "/" << c.byte_rate;
  }
}

TEST(Header, EveryTruncatedPrefixFailsCleanlyAndLeavesTheRecord) {
  for (const HeaderCase& c : kHeaderCases) {
    Bytes wav = BuildWav(c.layout, Samples());
    for (size_t n = 0; n < wav.size(); ++n) {
      RIFF r{};
      r.SampleRate = 12345;
      EXPECT_FALSE(ParseHeader(wav.data(), n, r)) << c.name << " prefix " << n;
      EXPECT_EQ(r.SampleRate, 12345);
    }
  }
}

TEST(Header, RefusesWhatDoesNotFitTheRecord) {
  Bytes not_riff = BuildWav(Layout(2, 44100, 0, false), Ramp(4, 2));
  not_riff[0] = 'R';
  not_riff[3] = 'X';
  Bytes too_long_fmt = BuildWav(Layout(1, 8000, kFmtExtraWords + 1, false), Samples(4));
  Bytes odd_sizes = BuildWav(Layout(1, 8000, 0, false), Samples(4));
  // A negative data size whose derived data offset leaves the 32-bit range.
  odd_sizes[4] = odd_sizes[5] = odd_sizes[6] = 0xFF;
  odd_sizes[7] = 0x7F;
  odd_sizes[40] = odd_sizes[41] = odd_sizes[42] = 0;
  odd_sizes[43] = 0x80;
  for (const Bytes* wav : {&not_riff, &too_long_fmt, &odd_sizes}) {
    RIFF r{};
    EXPECT_FALSE(ParseHeader(wav->data(), wav->size(), r));
  }
}

TEST(Header, SurvivesRandomBytes) {
  std::mt19937 random(7);
  Bytes base = BuildWav(Layout(2, 44100, 1, true), Ramp(8, 2));
  for (int i = 0; i < 20000; ++i) {
    Bytes wav = base;
    for (int k = 0; k < 4; ++k)
      wav[4 + random() % (wav.size() - 4)] = static_cast<uint8_t>(random());
    wav.resize(random() % (wav.size() + 1));
    RIFF r{};
    if (ParseHeader(wav.data(), wav.size(), r)) {
      (void)CheckEditable(r, static_cast<int64_t>(wav.size()), "x");
      EXPECT_LE(HeaderImage(r).size(), kMaxHeaderBytes);
    }
  }
}

TEST(Header, EditableOnlyForSixteenBitMonoOrStereoWithConsistentSizes) {
  struct Case {
    const char* name;
    std::function<void(Bytes&)> damage;
    bool editable;
  } cases[] = {
      {"intact", [](Bytes&) {}, true},
      {"8-bit", [](Bytes& w) { w[34] = 8; }, false},
      {"24-bit", [](Bytes& w) { w[34] = 24; }, false},
      {"no channels", [](Bytes& w) { w[22] = 0; }, false},
      {"three channels", [](Bytes& w) { w[22] = 3; }, false},
      {"rate zero", [](Bytes& w) { w[24] = w[25] = w[26] = w[27] = 0; }, false},
      {"absurd rate", [](Bytes& w) { w[27] = 0x10; }, false},
      {"data longer than the file", [](Bytes& w) { w.resize(w.size() - 2); }, false},
      {"chunk size disagrees", [](Bytes& w) { w[4] += 2; }, false},
      {"byte rate zero", [](Bytes& w) { w[28] = w[29] = w[30] = w[31] = 0; }, true},
  };
  for (const Case& c : cases) {
    Bytes wav = BuildWav(Layout(2, 44100, 0, false), Ramp(100, 2));
    c.damage(wav);
    RIFF r{};
    ASSERT_TRUE(ParseHeader(wav.data(), wav.size(), r)) << c.name;
    EXPECT_EQ(CheckEditable(r, static_cast<int64_t>(wav.size()), "x").ok(), c.editable) << c.name;
  }
}

TEST(Header, GetInfoReadsTheFileOfItsTypeAndNothingElse) {
  Workspace ws;
  Bytes working = BuildWav(Layout(2, 44100, 0, false), Ramp(10, 2));
  Bytes second = BuildWav(Layout(1, 22050, 0, false), Ramp(10, 1));
  ws.Put("audio/output.wav", working);
  ws.Put("audio/res1.wav", second);
  RIFF r{};
  EXPECT_TRUE(GetInfo(r, kWorkingWav));
  EXPECT_EQ(r.SampleRate, 44100);
  EXPECT_TRUE(GetInfo(r, kSecondSourceWav));
  EXPECT_EQ(r.SampleRate, 22050);
  EXPECT_FALSE(GetInfo(r, kImportWav));  // no audio/res.wav
  EXPECT_FALSE(GetInfo(r, 7));
  EXPECT_EQ(r.SampleRate, 22050);
}

TEST(Header, ResetOfTheImportInstallsItAsTheWorkingFile) {
  Workspace ws;
  Bytes old_working = BuildWav(Layout(2, 44100, 0, false), Ramp(10, 2));
  Bytes imported = BuildWav(Layout(1, 8000, 0, false), Ramp(30, 1));
  ws.Put("audio/output.wav", old_working);
  ws.Put("audio/res.wav", imported);
  RIFF r{};
  ASSERT_TRUE(Reset(r, kImportWav).ok());
  EXPECT_EQ(ws.Working(), imported);
  EXPECT_FALSE(ws.Has("audio/res.wav"));
  EXPECT_EQ(r.SampleRate, 8000);
}

}  // namespace
}  // namespace tolva::testing
