#include <tuple>

#include "mp3_tools.h"

namespace tolva::testing {
namespace {

struct RateCase {
  int rate;
  int channels;
  int kbps;                   // the bit rate the export must choose
  int64_t input_frames = -1;  // -1: a quarter second
};

// 192 kbit/s where MPEG-1 allows it; otherwise the highest rate libshine takes
// whose granule share fits 4095 bits: 160 (MPEG-2) and 64 (MPEG-2.5), less for
// mono at 16000 and 8000 Hz, whose frames at those rates give one granule more
// than 4095 bits. Then four inputs shorter than the two frames they must still
// make, and rates and channel counts MP3 does not encode.
const RateCase kRates[] = {
    {32000, 1, 192},     {32000, 2, 192},     {44100, 1, 192},    {44100, 2, 192},
    {48000, 1, 192},     {48000, 2, 192},     {24000, 1, 160},    {24000, 2, 160},
    {22050, 1, 160},     {22050, 2, 160},     {16000, 1, 112},    {16000, 2, 160},
    {12000, 1, 64},      {12000, 2, 64},      {11025, 1, 64},     {11025, 2, 64},
    {8000, 1, 56},       {8000, 2, 64},       {44100, 1, 192, 0}, {44100, 2, 192, 1},
    {44100, 1, 192, 95}, {44100, 2, 192, 95}, {0, 2, 0},          {-44100, 2, 0},
    {7999, 2, 0},        {44000, 2, 0},       {96000, 2, 0},      {44100, 3, 0},
    {44100, 0, 0}};

// Frames the export writes for `input_frames`: at least two, enough to carry
// the input past the codec delay, and one of silence more where the encoder's
// flush would lose bytes of a frame that carries input. The encoder writes
// 32-bit words, so it loses the frames' total modulo 4; `frames` (the export's
// own, whose lengths are those the encoder wrote) give that total.
int64_t ExpectedFrames(const std::vector<Mp3Frame>& frames, int64_t input_frames,
                       int samples_per_frame) {
  const int64_t audible_end = input_frames + kMp3Delay;
  const int64_t enough =
      std::max<int64_t>(2, (audible_end + samples_per_frame - 1) / samples_per_frame);
  if (static_cast<int64_t>(frames.size()) < enough) return enough;
  int64_t bytes = 0;
  for (int64_t k = 0; k < enough; ++k) bytes += frames[k].length;
  const bool last_carries_input = (enough - 1) * samples_per_frame < audible_end;
  return enough + (bytes % 4 != 0 && last_carries_input ? 1 : 0);
}

// Every export starts with an information frame that records what follows;
// decoders that honour it, ours and mpg123, give back exactly the input, not
// shifted.
TEST(Mp3Export, EveryRateGivesWellFormedFramesThatDecodeToExactlyTheInput) {
  for (const RateCase& c : kRates) {
    SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " channel(s), " +
                 std::to_string(c.input_frames));
    EXPECT_EQ(Mp3BitRate(c.rate, c.channels), c.kbps);
    if (c.kbps == 0) continue;
    const int version = c.rate >= 32000 ? 1 : c.rate >= 16000 ? 2 : 25;
    const int samples_per_frame = version == 1 ? 1152 : 576;
    const int64_t input_frames = c.input_frames >= 0 ? c.input_frames : c.rate / 4 + 3;
    const Samples in = Tones(input_frames, c.channels, c.rate);
    const Bytes mp3 = EncodeMp3(in, c.channels, c.rate);
    std::string error;
    std::vector<Mp3Frame> frames = ParseFrames(mp3, &error);
    EXPECT_EQ(error, "");
    ASSERT_GE(frames.size(), 3u);
    const Mp3Frame info = frames[0];
    frames.erase(frames.begin());
    const int64_t count = ExpectedFrames(frames, input_frames, samples_per_frame);
    EXPECT_EQ(static_cast<int64_t>(frames.size()), count);
    for (const Mp3Frame& f : frames) {
      SCOPED_TRACE("frame at byte " + std::to_string(f.offset));
      EXPECT_EQ(std::tie(f.version, f.layer, f.kbps, f.rate, f.mode, f.mode_extension),
                std::make_tuple(version, 3, c.kbps, c.rate, c.channels == 1 ? 3 : 2, 0));
      EXPECT_EQ(std::tie(f.crc, f.copyright, f.original, f.emphasis),
                std::make_tuple(false, false, true, 0));
      // Zero bytes that complete a frame are safe only when no frame reaches back.
      EXPECT_EQ(f.main_data_begin, 0);
      if (::testing::Test::HasFailure()) break;
    }
    EXPECT_EQ(info.length, frames[0].length - (frames[0].padding ? 1 : 0));
    const size_t crc_at = info.TagCrcOffset();
    EXPECT_EQ(Bytes(mp3.begin() + crc_at - 34, mp3.begin() + crc_at - 29),
              Bytes({'t', 'o', 'l', 'v', 'a'}));
    EXPECT_EQ(BigEndian(mp3, crc_at - 146, 8), count << 32 | static_cast<int64_t>(mp3.size()));
    EXPECT_EQ(BigEndian(mp3, crc_at - 6, 4), static_cast<int64_t>(mp3.size()));
    const uint8_t* audio = mp3.data() + info.length;
    EXPECT_EQ(BigEndian(mp3, crc_at - 2, 2), Crc16(audio, mp3.size() - info.length));
    EXPECT_EQ(BigEndian(mp3, crc_at, 2), Crc16(mp3.data(), crc_at));
    const Bytes decoded = DecodeMp3(mp3);
    EXPECT_EQ(WavOf(SamplesOf(decoded), c.channels, c.rate), decoded);
    EXPECT_EQ(static_cast<int64_t>(SamplesOf(decoded).size()), input_frames * c.channels);
    if (input_frames == 0) continue;  // an import of no audio fails
    Workspace scratch;
    scratch.Put("in.mp3", mp3);
    ASSERT_TRUE(DecodeMp3ToWav("in.mp3", "out.wav", "out.part").ok());
    EXPECT_EQ(scratch.Get("out.wav"), decoded);
    if (input_frames < 1000) continue;
    // libshine plays back 9/8 louder than its input, so the gain is fitted, within bounds.
    Match m = Compare(in, SamplesOf(decoded), c.channels);
    EXPECT_GE(m.snr_db, kMinMp3SnrDb);
    EXPECT_GE(m.gain, 1.0);
    EXPECT_LE(m.gain, 1.25);
  }
}

// The library's own command-line encoder on the same WAV: libshine's raw output.
Bytes Shineenc(const Bytes& wav, bool dual_channel, int kbps = 192) {
  Workspace scratch;
  scratch.Put("in.wav", wav);
  std::vector<std::string> command = {"shineenc", "-q", "-b", std::to_string(kbps)};
  if (dual_channel) command.push_back("-d");
  command.insert(command.end(), {"in.wav", "out.mp3"});
  return RunProgram(command) == 0 ? scratch.Get("out.mp3") : Bytes{};
}

// After the information frame: where the input leaves at least the codec delay
// of silence in its last pass, the export adds no frame, and at 48 kHz every
// frame is as long as its header says: the export is then shineenc's stream.
// Elsewhere it is shineenc's stream with the repairs applied and the frames
// that carry the rest of the input added.
TEST(Mp3Export, IsShineencsStreamWithOnlyTheRepairsAndTheTailAdded) {
  const struct {
    const char* name;
    int rate;
    int channels;
    int64_t input_frames;
    bool same;  // no repair needed, no frame added
  } cases[] = {
      {"48 kHz stereo, last pass part filled", 48000, 2, 10 * 1152 - 1100, true},
      {"48 kHz mono, one pass short of the delay", 48000, 1, 4 * 1152 - kMp3Delay, true},
      {"48 kHz stereo, whole passes", 48000, 2, 8 * 1152, false},
      {"44.1 kHz stereo, shineenc loses bytes", 44100, 2, 4 * 1152 + 500, false},
      {"32 kHz stereo", 32000, 2, 6 * 1152 + 17, false},
      {"32 kHz mono", 32000, 1, 5 * 1152, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Samples in = Tones(c.input_frames, c.channels, c.rate);
    const Bytes reference = Shineenc(WavOf(in, c.channels, c.rate), c.channels == 2);
    ASSERT_FALSE(reference.empty()) << "shineenc did not run";
    const Bytes ours = EncodeMp3(in, c.channels, c.rate);
    std::string error;
    const std::vector<Mp3Frame> frames = ParseFrames(ours, &error);
    ASSERT_EQ(error, "");
    const size_t start = frames[1].offset;
    if (c.same) {
      EXPECT_EQ(ours.size() - start, reference.size());
    }
    ASSERT_GE(ours.size() - start, reference.size());
    Bytes expected(ours.begin() + start, ours.begin() + start + reference.size());
    // libshine sets the padding bit on 864-byte frames that carry no padding byte.
    for (int64_t k = 1; c.rate == 32000 && k <= (c.input_frames + 1151) / 1152; ++k) {
      EXPECT_EQ(frames[k].offset, static_cast<size_t>(k * 864));
      EXPECT_FALSE(frames[k].padding);
      expected[frames[k].offset - start + 2] |= 0x02;
    }
    EXPECT_EQ(expected, reference);
  }
}

TEST(Mp3Export, ReadsAWorkingFileThatIsMp3Data) {
  for (int channels : {1, 2}) {
    const Bytes first = EncodeMp3(Tones(30000, channels, 44100), channels, 44100);
    Workspace scratch;
    scratch.Put("input.wav", first);
    ASSERT_TRUE(EncodeMp3File("input.wav", "out.mp3", "out.part").ok()) << channels;
    EXPECT_EQ(scratch.Get("out.mp3"), EncodeMp3(SamplesOf(DecodeMp3(first)), channels, 44100));
  }
}

TEST(Mp3FrameRepair, GivesTheSameBytesWhateverPiecesTheyComeIn) {
  for (int rate : {32000, 44100, 22050}) {
    SCOPED_TRACE(rate);
    const int kbps = Mp3BitRate(rate, 2);
    const int pass = rate >= 32000 ? 1152 : 576;
    Bytes raw = Shineenc(WavOf(Tones(6 * pass, 2, rate), 2, rate), true, kbps);
    Mp3FrameRepair whole(rate, kbps), bytewise(rate, kbps);
    Bytes expected, got;
    ASSERT_TRUE(whole.Feed(raw.data(), raw.size(), expected).ok());
    ASSERT_TRUE(whole.Finish(expected).ok());
    EXPECT_EQ(whole.frames(), 6);
    std::string error;
    EXPECT_EQ(ParseFrames(expected, &error).size(), 6u);
    EXPECT_EQ(error, "");
    for (uint8_t b : raw) ASSERT_TRUE(bytewise.Feed(&b, 1, got).ok());
    ASSERT_TRUE(bytewise.Finish(got).ok());
    EXPECT_EQ(got, expected);
  }
}

TEST(Mp3FrameRepair, RefusesBytesThatAreNotTheNextFrame) {
  Bytes raw = Shineenc(WavOf(Tones(4 * 1152, 2, 44100), 2, 44100), true);
  const std::ptrdiff_t first = 626 + ((raw[2] >> 1) & 1);
  struct Case {
    const char* name;
    Bytes bytes;
    int kbps;
  } cases[] = {
      {"broken sync of the second frame", raw, 192},
      {"another bit rate than announced", raw, 160},
      {"more missing than the flush loses", Bytes(raw.begin(), raw.end() - 300), 192},
      {"ends inside a header", Bytes(raw.begin(), raw.begin() + first + 2), 192},
  };
  cases[0].bytes[static_cast<size_t>(first)] = 0x00;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Mp3FrameRepair repair(44100, c.kbps);
    Bytes out;
    Status s = repair.Feed(c.bytes.data(), c.bytes.size(), out);
    if (s.ok()) s = repair.Finish(out);
    EXPECT_TRUE(s.failed());
    EXPECT_NE(s.message().find("internal error"), std::string::npos) << s.message();
  }
}

// The real binary, as a front end runs it.

const char kSnapshot[] = "audio/oldversions/output_2026_1_2_3_4_5.wav";

TEST(Mp3ExportRun, AFailedExportLeavesEverythingAsItWas) {
  const Bytes working = WavOf(Tones(20000, 2, 44100), 2, 44100);
  const char* kReadError = "read file [audio/output.wav] error.\n";
  const struct {
    const char* name;
    bool working;  // whether there is a working file
    Bytes bytes;
    const char* out;
    const char* err;  // the line on standard error, or how it starts
    int64_t file_size_limit;
  } cases[] = {
      {"no working file", false, {}, kReadError, "tolva: ", -1},
      {"empty working file", true, {}, kReadError, "tolva: ", -1},
      {"random bytes", true, Junk(5000, 7), kReadError, "tolva: ", -1},
      {"8-bit WAV", true, BuildWav({.bits = 8}, Samples(400, 3)), kReadError, "tolva: ", -1},
      {"truncated WAV", true, Bytes(working.begin(), working.begin() + 1000), kReadError,
       "tolva: ", -1},
      {"no MP3 sample rate", true, WavOf(Ramp(1000, 2), 2, 44000), "",
       "tolva: cannot encode MP3 at 44000 Hz (MP3 sample rates are 8000 to 48000 Hz)\n", -1},
      {"disk full", true, working, "", "tolva: ", 4000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Workspace ws;
    if (c.working) ws.PutWorking(c.bytes);
    const Bytes previous_mp3 = {'I', 'D', '3', 0, 1, 2};
    ws.Put("audio/output.mp3", previous_mp3);
    fs::create_directory(ws.root() / "audio/oldversions");
    ws.Put(kSnapshot, working);
    RunOptions options;
    options.file_size_limit = c.file_size_limit;
    RunResult r = ws.Run("999 0 0 0 0", options);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(ws.Get("audio/output.mp3"), previous_mp3);
    std::vector<std::string> files = {"oldversions", "output.mp3", "output.wav"};
    if (!c.working) files.pop_back();
    EXPECT_EQ(ws.Has("audio/output.wav") ? ws.Working() : Bytes{}, c.bytes);
    EXPECT_EQ(ws.AudioFiles(), files);
    EXPECT_EQ(ws.Snapshots(), std::vector<std::string>{"output_2026_1_2_3_4_5.wav"});
    EXPECT_EQ(ws.Get(kSnapshot), working);
  }
}

}  // namespace
}  // namespace tolva::testing
