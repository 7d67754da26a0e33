#include <tuple>

#include "mp3_tools.h"

namespace tolva::testing {
namespace {

// {rate, channels, bit rate, input frames (-1: a quarter second)}: 192 kbit/s,
// or the highest rate libshine takes whose granule share fits 4095 bits; then
// inputs shorter than the two frames they make, and what MP3 does not encode.
const std::tuple<int, int, int, int64_t> kRates[] = {
    {32000, 1, 192, -1}, {32000, 2, 192, -1}, {44100, 1, 192, -1}, {44100, 2, 192, -1},
    {48000, 1, 192, -1}, {48000, 2, 192, -1}, {24000, 1, 160, -1}, {24000, 2, 160, -1},
    {22050, 1, 160, -1}, {22050, 2, 160, -1}, {16000, 1, 112, -1}, {16000, 2, 160, -1},
    {12000, 1, 64, -1},  {12000, 2, 64, -1},  {11025, 1, 64, -1},  {11025, 2, 64, -1},
    {8000, 1, 56, -1},   {8000, 2, 64, -1},   {44100, 1, 192, 0},  {44100, 2, 192, 1},
    {44100, 2, 192, 95}, {0, 2, 0, -1},       {-44100, 2, 0, -1},  {7999, 2, 0, -1},
    {44000, 2, 0, -1},   {96000, 2, 0, -1},   {44100, 3, 0, -1},   {44100, 0, 0, -1}};

// The information frame in front records what follows, so that decoders that
// honour it, ours and mpg123, give back exactly the input, not shifted.
TEST(Mp3Export, EveryRateGivesWellFormedFramesThatDecodeToExactlyTheInput) {
  for (auto [rate, channels, kbps, input] : kRates) {
    SCOPED_TRACE(std::to_string(rate) + " Hz, " + std::to_string(channels) + " channel(s)");
    EXPECT_EQ(Mp3BitRate(rate, channels), kbps);
    if (kbps == 0) continue;
    const int version = rate >= 32000 ? 1 : rate >= 16000 ? 2 : 25;
    const int64_t input_frames = input >= 0 ? input : rate / 4 + 3;
    const Samples in = Tones(input_frames, channels, rate);
    const Bytes mp3 = EncodeMp3(in, channels, rate);
    std::vector<Mp3Frame> frames = ParseFrames(mp3);
    for (const Mp3Frame& f : frames) {
      // No CRC, mode extension 0, not copyrighted, original, no emphasis; zero
      // bytes that complete a frame are safe only when no frame reaches back.
      EXPECT_EQ(std::tie(f.version, f.kbps, f.rate, f.mode, f.flags, f.main_data_begin),
                std::make_tuple(version, kbps, rate, channels == 1 ? 3 : 2, 0x44, 0));
    }
    const Mp3Frame info = frames.at(0);
    frames.erase(frames.begin());
    // At least two audio frames, and at most one of silence past the codec delay.
    const int64_t count = static_cast<int64_t>(frames.size()),
                  per_frame = version == 1 ? 1152 : 576;
    EXPECT_TRUE(count >= 2 && (count - 2) * per_frame < input_frames + kMp3Delay) << count;
    const size_t crc_at = info.TagCrcOffset(), size = mp3.size();
    EXPECT_EQ(Slice(mp3, crc_at - 154, crc_at - 146), Bytes({'I', 'n', 'f', 'o', 0, 0, 0, 15}));
    EXPECT_EQ(BigEndian(mp3, crc_at - 146, 8), count << 32 | static_cast<int64_t>(size));
    EXPECT_EQ(std::string(mp3.begin() + crc_at - 34, mp3.begin() + crc_at - 25), "tolva    ");
    // Seek table entry 50 (128); the tag's bit rate, source rate (32 kHz, 44.1, more), mode.
    const int source = rate <= 32000 ? 0 : rate == 44100 ? 1 : 2;
    EXPECT_EQ(std::tie(mp3[crc_at - 88], mp3[crc_at - 14], mp3[crc_at - 10]),
              std::tuple(128, kbps, source << 6 | channels / 2 << 3));
    EXPECT_EQ(BigEndian(mp3, crc_at - 6, 4), static_cast<int64_t>(size));
    EXPECT_EQ(BigEndian(mp3, crc_at - 2, 2), Crc16(&mp3[info.length], size - info.length));
    EXPECT_EQ(BigEndian(mp3, crc_at, 2), Crc16(mp3.data(), crc_at));
    const Samples decoded = SamplesOf(DecodeMp3(mp3));
    EXPECT_EQ(static_cast<int64_t>(decoded.size()), input_frames * channels);
    if (input_frames >= 1000) {  // too few for the measure; the count above still holds
      EXPECT_GE(SnrDb(in, decoded), kMinMp3SnrDb);
    }
    if (input_frames == 0) continue;  // an import of no audio fails
    Workspace scratch;
    scratch.Put("in.mp3", mp3);
    ASSERT_TRUE(DecodeMp3ToWav("in.mp3", "out.wav", "part").ok());
    EXPECT_EQ(scratch.Get("out.wav"), BuildWav({.channels = channels, .rate = rate}, decoded));
    for (int trip = 2; trip <= 10; ++trip) {  // round trips in a row keep the length
      scratch.Put("in.mp3", EncodeMp3(SamplesOf(scratch.Get("out.wav")), channels, rate));
      ASSERT_TRUE(DecodeMp3ToWav("in.mp3", "out.wav", "part").ok());
    }
    EXPECT_EQ(SamplesOf(scratch.Get("out.wav")).size(), in.size());
  }
  // No information frame for what is no Layer III header of a known rate and bit rate: no
  // sync, sample rate index 3, bit rate index 0 (free format).
  for (auto [sync, rates] : {std::pair<uint8_t, uint8_t>{0x7F, 0xB8}, {0xFF, 0xBC}, {0xFF, 0x08}})
    EXPECT_TRUE(Mp3InfoFrame({.header = {sync, 0xFB, rates, 0x84}, .frame_bytes = 864}).empty());
}

// libshine's 863-byte frames at 32 kHz: a set padding bit is cleared, else a
// zero completes the frame; its flush loses the last bytes.
TEST(Mp3FrameRepair, MakesFramesAsLongAsTheirHeadersWhateverPiecesTheyComeIn) {
  for (uint8_t padding : {0, 1}) {
    Bytes raw, expected;
    for (uint8_t frame = 1; frame <= 3; ++frame) {
      raw.insert(raw.end(), {0xFF, 0xFB, static_cast<uint8_t>(0xB8 | padding << 1), 0x84});
      raw.resize(raw.size() + 859 + padding, frame);
      expected.insert(expected.end(), {0xFF, 0xFB, 0xB8, 0x84});
      expected.resize(expected.size() + 864 - 4, frame);
      if (padding == 0) expected.back() = 0;
    }
    std::fill(expected.end() - 4 + padding, expected.end(), 0);  // three bytes the flush lost
    Mp3FrameRepair whole(32000, 192), bytewise(32000, 192);
    Bytes got_whole, got_bytewise;
    ASSERT_TRUE(whole.Feed(raw.data(), raw.size() - 3, got_whole).ok());
    for (size_t i = 0; i + 3 < raw.size(); ++i) bytewise.Feed(&raw[i], 1, got_bytewise);
    ASSERT_TRUE(whole.Finish(got_whole).ok() && bytewise.Finish(got_bytewise).ok());
    EXPECT_EQ(got_whole, expected);
    EXPECT_EQ(got_bytewise, expected);
    EXPECT_EQ(whole.frames(), 3);
  }
}

// The working file, its history and an earlier export stay.
TEST(Mp3ExportRun, AFailedExportLeavesEverythingAsItWas) {
  const Bytes working = BuildWav({}, Tones(20000, 2, 44100)), previous_mp3 = {'I', 'D', '3'};
  const char* kSnapshot = "audio/oldversions/output_2026_1_2_3_4_5.wav";
  // What is in audio/output.wav (none when empty), whether it cannot be read,
  // the file size limit of the run.
  const std::tuple<const char*, Bytes, bool, int64_t> cases[] = {
      {"no working file", {}, true, -1},
      {"the highest WAV rate, no MP3 rate", BuildWav({.rate = 768000}, Ramp(10, 2)), false, -1},
      {"past the highest WAV rate", BuildWav({.rate = 768001}, Ramp(10, 2)), true, -1},
      {"disk full", working, false, 4000}};
  for (const auto& [name, in, read_error, limit] : cases) {
    SCOPED_TRACE(name);
    Workspace ws;
    if (!in.empty()) ws.PutWorking(in);
    ws.Put("audio/output.mp3", previous_mp3);
    fs::create_directory(ws.root() / "audio/oldversions");
    ws.Put(kSnapshot, working);
    RunResult r = ws.Run("999 0 0 0 0", {.file_size_limit = limit});
    EXPECT_EQ(std::tie(r.exit_code, r.out),
              std::make_tuple(1, read_error ? "read file [audio/output.wav] error.\n" : ""));
    EXPECT_EQ(r.err.rfind("tolva: ", 0), 0u) << r.err;
    EXPECT_EQ(ws.Get("audio/output.mp3"), previous_mp3);
    EXPECT_EQ(ws.Has("audio/output.wav") ? ws.Working() : Bytes{}, in);
    EXPECT_EQ(ws.Get(kSnapshot), working);
  }
}

}  // namespace
}  // namespace tolva::testing
