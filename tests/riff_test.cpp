#include "riff.h"

#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

// Every layout reads and writes back byte for byte; every prefix that ends
// before the data chunk header fails, leaving the record.
TEST(Header, ReadsEveryLayoutAndWritesItBackByteForByte) {
  const std::tuple<const char*, WavLayout, int32_t> layouts[] = {
      {"canonical", {}, 44},
      {"fmt size 18", {.channels = 1, .rate = 22050, .extra_fmt_words = 1}, 46},
      {"fact chunk", {.rate = 48000, .fact = true}, 56},
      {"other chunk starting with f: fact", {.fact = true, .fact_id = {'f', 'L', 'L', 'R'}}, 56},
      {"largest fmt extension", {.channels = 1, .extra_fmt_words = kFmtExtraWords}, 36 + 1332 + 8}};
  for (const auto& [name, layout, data_offset] : layouts) {
    SCOPED_TRACE(name);
    const Bytes wav = BuildWav(layout, Ramp(17, layout.channels));
    RIFF r{};
    for (int32_t n = 0; n < data_offset; ++n) {
      EXPECT_FALSE(ParseHeader(wav.data(), n, r)) << n;
      EXPECT_EQ(r.SampleRate, 0);
    }
    ASSERT_TRUE(ParseHeader(wav.data(), wav.size(), r));
    EXPECT_EQ(
        std::tie(r.DataOffset, r.HasFact, r.DataSize, r.FactData),
        std::make_tuple(data_offset, layout.fact, 17 * 2 * layout.channels, layout.fact ? 17 : 0));
    EXPECT_EQ(HeaderImage(r), Bytes(wav.begin(), wav.begin() + data_offset));
  }
  const Bytes long_fmt = BuildWav({.channels = 1, .extra_fmt_words = kFmtExtraWords + 1}, {});
  RIFF r{};
  EXPECT_FALSE(ParseHeader(long_fmt.data(), long_fmt.size(), r));
}

// Damage written into a canonical stereo header of 100 frames (ChunkSize 436,
// DataSize 400): whether the header still reads, whether effects take it, and
// its Seconds, DataSize / ByteRate truncated (0 for a byte rate of 0).
TEST(Header, ReadsAndAcceptsOnlyWhatTheEffectsCanEdit) {
  enum Verdict { kUnreadable, kNotEditable, kEditable };
  // name, `value` written as `bytes` bytes at `offset`, verdict, Seconds, bytes cut off the end
  const std::tuple<const char*, int, uint32_t, int, Verdict, int32_t, int> cases[] = {
      {"intact", 0, 'R', 1, kEditable, 0, 0},
      {"not RIFF", 3, 'X', 1, kUnreadable, 0, 0},
      {"data offset outside 32 bits", 40, 0x80000000, 4, kUnreadable, 0, 0},
      {"8-bit", 34, 8, 2, kNotEditable, 0, 0},
      {"three channels", 22, 3, 2, kNotEditable, 0, 0},
      {"rate zero", 24, 0, 4, kNotEditable, 0, 0},
      {"rate 1", 24, 1, 4, kEditable, 0, 0},
      {"rate 768000, the highest", 24, 768000, 4, kEditable, 0, 0},
      {"rate 768001", 24, 768001, 4, kNotEditable, 0, 0},
      {"chunk size disagrees", 4, 438, 4, kNotEditable, 0, 0},
      {"byte rate zero", 28, 0, 4, kEditable, 0, 0},
      {"byte rate 150", 28, 150, 4, kEditable, 2, 0},
      {"byte rate 400", 28, 400, 4, kEditable, 1, 0},
      {"data longer than the file", 0, 'R', 1, kNotEditable, 0, 2}};
  for (const auto& [name, offset, value, bytes, verdict, seconds, cut] : cases) {
    SCOPED_TRACE(name);
    Bytes wav = BuildWav({}, Ramp(100, 2));
    for (int i = 0; i < bytes; ++i) wav[offset + i] = static_cast<uint8_t>(value >> 8 * i);
    wav.resize(wav.size() - cut);
    RIFF r{};
    ASSERT_EQ(ParseHeader(wav.data(), wav.size(), r), verdict != kUnreadable);
    if (verdict == kUnreadable) continue;
    EXPECT_EQ(CheckEditable(r, static_cast<int64_t>(wav.size()), "x").ok(), verdict == kEditable);
    EXPECT_EQ(r.Seconds, seconds);
  }
}

// Sizes past 2 GiB and up to 4 GiB read and write back as they stand, as
// unsigned numbers; a result past 4 GiB is refused with its length and the
// most a WAV file holds, in hours of its own format.
TEST(Header, HoldsUpToFourGibibytes) {
  // Whole seconds, rounded down, of 176400 bytes (44.1 kHz 16-bit stereo);
  // a frame is 4 bytes.
  const std::tuple<uint32_t, int64_t, int64_t> sizes[] = {{0x7FFFFFFCu, 12173, 536870911},
                                                          {0x80000000u, 12173, 536870912},
                                                          {0xFFFFFFD8u, 24347, 1073741814}};
  for (const auto& [data, seconds, frames] : sizes) {
    Bytes wav = BuildWav({}, {});
    for (int i = 0; i < 4; ++i) {
      wav[4 + i] = static_cast<uint8_t>((data + 36) >> 8 * i);
      wav[40 + i] = static_cast<uint8_t>(data >> 8 * i);
    }
    RIFF r{};
    ASSERT_TRUE(ParseHeader(wav.data(), wav.size(), r)) << data;
    EXPECT_EQ(std::tie(r.DataSize, r.DataOffset, r.Seconds), std::make_tuple(data, 44, seconds));
    EXPECT_EQ(FrameCount(r), frames);
    EXPECT_EQ(HeaderImage(r), wav);
  }
  const std::tuple<int, int, int64_t, const char*> limits[] = {
      {48000, 2, 48000LL * 3600 * 7,
       "the result would hold 7 h 0 min of 48 kHz stereo; a WAV file holds at most 6 h 12 min"},
      {22050, 1, 22050LL * 60 * 59,
       "the result would hold 59 min of 22.05 kHz mono; a WAV file holds at most 27 h 3 min"}};
  for (const auto& [rate, channels, frames, message] : limits) {
    const RIFF layout = HeaderOf(BuildWav({.channels = channels, .rate = rate}, {}));
    EXPECT_EQ(RefuseTooLong(layout, frames).message(), message);
  }
}

}  // namespace
}  // namespace tolva::testing
