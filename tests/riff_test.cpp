#include "riff.h"

#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

const struct HeaderCase {
  const char* name;
  WavLayout layout;
  int32_t data_offset;
} kHeaders[] = {
    {"canonical", {.channels = 2, .rate = 44100}, 44},
    {"fmt size 18", {.channels = 1, .rate = 22050, .extra_fmt_words = 1}, 46},
    {"fact chunk", {.channels = 2, .rate = 48000, .fact = true}, 56},
    {"other chunk starting with f: fact",
     {.channels = 2, .rate = 44100, .fact = true, .fact_id = {'f', 'L', 'L', 'R'}},
     56},
    {"largest fmt extension",
     {.channels = 1, .rate = 8000, .extra_fmt_words = kFmtExtraWords},
     36 + 2 * 666 + 8},
};

TEST(Header, ReadsEveryLayoutAndWritesItBackByteForByte) {
  for (const HeaderCase& c : kHeaders) {
    SCOPED_TRACE(c.name);
    const Bytes wav = BuildWav(c.layout, Ramp(17, c.layout.channels));
    RIFF r{};
    ASSERT_TRUE(ParseHeader(wav.data(), wav.size(), r));
    EXPECT_EQ(r.DataOffset, c.data_offset);
    EXPECT_EQ(r.HasFact, c.layout.fact);
    EXPECT_EQ(r.NumChannels, c.layout.channels);
    EXPECT_EQ(r.SampleRate, c.layout.rate);
    EXPECT_EQ(r.DataSize, 17 * 2 * c.layout.channels);
    EXPECT_EQ(r.FactData, c.layout.fact ? 17 : 0);
    EXPECT_EQ(HeaderImage(r), Bytes(wav.begin(), wav.begin() + c.data_offset));
  }
}

// Every prefix that ends before the data chunk header fails and leaves the record.
TEST(Header, EveryTruncatedPrefixFailsCleanly) {
  for (const HeaderCase& c : kHeaders) {
    const Bytes wav = BuildWav(c.layout, {});
    for (size_t n = 0; n < wav.size(); ++n) {
      RIFF r{};
      r.SampleRate = 12345;
      EXPECT_FALSE(ParseHeader(wav.data(), n, r)) << c.name << " prefix " << n;
      EXPECT_EQ(r.SampleRate, 12345);
    }
  }
}

TEST(Header, SecondsTruncatesAndZeroByteRateGivesZero) {
  const struct {
    int32_t data_size, byte_rate, seconds;
  } cases[] = {{150, 100, 1}, {99, 100, 0}, {300, 100, 3}, {500, 0, 0}};
  for (const auto& c : cases) {
    Bytes wav = BuildWav({.channels = 1, .rate = 50}, Samples(c.data_size / 2));
    wav[28] = static_cast<uint8_t>(c.byte_rate);
    wav[29] = wav[30] = wav[31] = 0;
    RIFF r{};
    ASSERT_TRUE(ParseHeader(wav.data(), wav.size(), r));
    EXPECT_EQ(r.Seconds, c.seconds) << c.data_size << "/" << c.byte_rate;
  }
}

// Not "RIFF"; more extra fmt words than the record holds; a data offset
// (ChunkSize + 8 − DataSize) outside 32 bits.
TEST(Header, RefusesWhatDoesNotFitTheRecord) {
  Bytes not_riff = BuildWav({}, Ramp(4, 2));
  not_riff[3] = 'X';
  Bytes long_fmt = BuildWav({.channels = 1, .extra_fmt_words = kFmtExtraWords + 1}, {});
  Bytes odd_sizes = BuildWav({.channels = 1}, Samples(4));
  odd_sizes[4] = odd_sizes[5] = odd_sizes[6] = 0xFF;
  odd_sizes[7] = 0x7F;
  odd_sizes[40] = odd_sizes[41] = odd_sizes[42] = 0;
  odd_sizes[43] = 0x80;
  for (const Bytes* wav : {&not_riff, &long_fmt, &odd_sizes}) {
    RIFF r{};
    EXPECT_FALSE(ParseHeader(wav->data(), wav->size(), r));
  }
}

TEST(Header, EditableOnlyForSixteenBitMonoOrStereoWithConsistentSizes) {
  auto rate = [](uint32_t hz) {
    return [hz](Bytes& w) {
      for (int i = 0; i < 4; ++i) w[24 + i] = static_cast<uint8_t>(hz >> (8 * i));
    };
  };
  const struct {
    const char* name;
    std::function<void(Bytes&)> damage;
    bool editable;
  } cases[] = {
      {"intact", [](Bytes&) {}, true},
      {"8-bit", [](Bytes& w) { w[34] = 8; }, false},
      {"24-bit", [](Bytes& w) { w[34] = 24; }, false},
      {"no channels", [](Bytes& w) { w[22] = 0; }, false},
      {"three channels", [](Bytes& w) { w[22] = 3; }, false},
      {"rate zero", rate(0), false},
      {"rate 1", rate(1), true},
      {"rate 768000, the highest", rate(768000), true},
      {"rate 768001", rate(768001), false},
      {"data longer than the file", [](Bytes& w) { w.resize(w.size() - 2); }, false},
      {"chunk size disagrees", [](Bytes& w) { w[4] += 2; }, false},
      {"byte rate zero", [](Bytes& w) { w[28] = w[29] = w[30] = w[31] = 0; }, true},
  };
  for (const auto& c : cases) {
    Bytes wav = BuildWav({}, Ramp(100, 2));
    c.damage(wav);
    RIFF r{};
    ASSERT_TRUE(ParseHeader(wav.data(), wav.size(), r)) << c.name;
    EXPECT_EQ(CheckEditable(r, static_cast<int64_t>(wav.size()), "x").ok(), c.editable) << c.name;
  }
}

}  // namespace
}  // namespace tolva::testing
