extern "C" {
#include <shine/layer3.h>
}
#include <sys/wait.h>
#include <unistd.h>

#include "codec.h"
#include "mp3_tools.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

// A decoded sample appears 528 (libshine's analysis) + 529 (synthesis) frames
// after the input sample it stands for.
constexpr int64_t kDelay = 1057;

// One encode of the two test tones at the export's bit rates measures 39 dB
// (stereo at 64 kbit/s, MPEG-2.5) to 67 dB; the same stream one frame out of
// place measures under 22 dB, a garbled or cut stream far less. libshine plays
// back 9/8 louder than its input, so the gain is fitted, within bounds.
constexpr double kMinSnrDb = 35;
constexpr double kMinGain = 1.0;
constexpr double kMaxGain = 1.25;

struct RateCase {
  int rate;
  int channels;
  int kbps;  // the bit rate the export must choose
  int version;
  int samples_per_frame;
};

// 192 kbit/s where MPEG-1 allows it; otherwise the highest rate libshine takes
// whose granule share fits 4095 bits: 160 (MPEG-2) and 64 (MPEG-2.5), less for
// mono at 16000 and 8000 Hz, whose frames at those rates give one granule more
// than 4095 bits.
const RateCase kRates[] = {
    {32000, 1, 192, 1, 1152}, {32000, 2, 192, 1, 1152}, {44100, 1, 192, 1, 1152},
    {44100, 2, 192, 1, 1152}, {48000, 1, 192, 1, 1152}, {48000, 2, 192, 1, 1152},
    {24000, 1, 160, 2, 576},  {24000, 2, 160, 2, 576},  {22050, 1, 160, 2, 576},
    {22050, 2, 160, 2, 576},  {16000, 1, 112, 2, 576},  {16000, 2, 160, 2, 576},
    {12000, 1, 64, 25, 576},  {12000, 2, 64, 25, 576},  {11025, 1, 64, 25, 576},
    {11025, 2, 64, 25, 576},  {8000, 1, 56, 25, 576},   {8000, 2, 64, 25, 576},
};

std::string Name(const RateCase& c) {
  return std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " channel(s)";
}

// Frames the export writes for `input_frames`: at least two, enough to carry
// the input past the codec delay, and one of silence more where the encoder's
// flush would lose bytes of a frame that carries input. The encoder writes
// 32-bit words, so it loses the frames' total modulo 4; `frames` (the export's
// own, whose lengths are those the encoder wrote) give that total.
int64_t ExpectedFrames(const std::vector<Mp3Frame>& frames, int64_t input_frames,
                       int samples_per_frame) {
  const int64_t audible_end = input_frames + kDelay;
  const int64_t enough =
      std::max<int64_t>(2, (audible_end + samples_per_frame - 1) / samples_per_frame);
  if (static_cast<int64_t>(frames.size()) < enough) return enough;
  int64_t bytes = 0;
  for (int64_t k = 0; k < enough; ++k) bytes += frames[k].length;
  const bool last_carries_input = (enough - 1) * samples_per_frame < audible_end;
  return enough + (bytes % 4 != 0 && last_carries_input ? 1 : 0);
}

Bytes WavOf(const Samples& samples, int channels, int rate) {
  WavLayout layout;
  layout.channels = channels;
  layout.rate = rate;
  return BuildWav(layout, samples);
}

// The library's own command-line encoder on the same WAV.
Bytes Shineenc(const Bytes& wav, bool dual_channel) {
  TempFolder folder;
  WriteBytes(folder / "in.wav", wav);
  std::string in = (folder / "in.wav").string(), out = (folder / "out.mp3").string();
  std::vector<const char*> argv = {"shineenc", "-q", "-b", "192"};
  if (dual_channel) argv.push_back("-d");
  argv.push_back(in.c_str());
  argv.push_back(out.c_str());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execvp("shineenc", const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  return ReadBytes(folder / "out.mp3");
}

TEST(Mp3Export, ChoosesTheBitRateTheEncoderCanFill) {
  for (const RateCase& c : kRates) {
    EXPECT_EQ(Mp3BitRate(c.rate, c.channels), c.kbps) << Name(c);
  }
  for (int rate : {0, -44100, 7999, 44000, 96000, 192000}) {
    EXPECT_EQ(Mp3BitRate(rate, 2), 0) << rate;
  }
  EXPECT_EQ(Mp3BitRate(44100, 3), 0);
  EXPECT_EQ(Mp3BitRate(44100, 0), 0);
}

TEST(Mp3Export, FramesCarryTheExportSettingsAndTheirDeclaredLengths) {
  for (const RateCase& c : kRates) {
    SCOPED_TRACE(Name(c));
    const int64_t input_frames = c.rate * 3 / 10 + 7;
    Bytes mp3 = EncodeMp3(Tones(input_frames, c.channels, c.rate), c.channels, c.rate);
    std::string error;
    std::vector<Mp3Frame> frames = ParseFrames(mp3, &error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(static_cast<int64_t>(frames.size()),
              ExpectedFrames(frames, input_frames, c.samples_per_frame));
    for (const Mp3Frame& f : frames) {
      SCOPED_TRACE("frame at byte " + std::to_string(f.offset));
      EXPECT_EQ(f.version, c.version);
      EXPECT_EQ(f.layer, 3);
      EXPECT_FALSE(f.crc);
      EXPECT_EQ(f.kbps, c.kbps);
      EXPECT_EQ(f.rate, c.rate);
      EXPECT_EQ(f.mode, c.channels == 1 ? 3 : 2);
      EXPECT_EQ(f.mode_extension, 0);
      EXPECT_FALSE(f.copyright);
      EXPECT_TRUE(f.original);
      EXPECT_EQ(f.emphasis, 0);
      // Zero bytes that complete a frame are safe only when no frame reaches back.
      EXPECT_EQ(f.main_data_begin, 0);
      if (::testing::Test::HasFailure()) break;
    }
  }
}

TEST(Mp3Export, DecodesToTheWholeInputAtEveryRate) {
  for (const RateCase& c : kRates) {
    SCOPED_TRACE(Name(c));
    const int64_t input_frames = c.rate / 4 + 3;
    Samples in = Tones(input_frames, c.channels, c.rate);
    Bytes mp3 = EncodeMp3(in, c.channels, c.rate);
    int channels = 0, rate = 0;
    Samples out = DecodeMp3(mp3, &channels, &rate);
    EXPECT_EQ(channels, c.channels);
    EXPECT_EQ(rate, c.rate);
    const int64_t decoded = static_cast<int64_t>(out.size()) / c.channels;
    std::string error;
    std::vector<Mp3Frame> frames = ParseFrames(mp3, &error);
    EXPECT_EQ(decoded,
              ExpectedFrames(frames, input_frames, c.samples_per_frame) * c.samples_per_frame);
    EXPECT_GE(decoded, input_frames + kDelay);
    Match m = Compare(in, out, c.channels, kDelay);
    EXPECT_GE(m.snr_db, kMinSnrDb);
    EXPECT_GE(m.gain, kMinGain);
    EXPECT_LE(m.gain, kMaxGain);
  }
}

TEST(Mp3Export, InputsShorterThanTwoFramesStillMakeTwo) {
  for (int64_t input_frames : {0, 1, 10, 95}) {
    for (int channels : {1, 2}) {
      SCOPED_TRACE(std::to_string(input_frames) + " frames, " + std::to_string(channels) +
                   " channel(s)");
      Samples in = Ramp(input_frames, channels);
      Bytes mp3 = EncodeMp3(in, channels, 44100);
      std::string error;
      EXPECT_EQ(ParseFrames(mp3, &error).size(), 2u);
      EXPECT_EQ(error, "");
      int c = 0, r = 0;
      EXPECT_EQ(DecodeMp3(mp3, &c, &r).size(), static_cast<size_t>(2 * 1152 * channels));
    }
  }
}

struct ShineencCase {
  const char* name;
  int rate;
  int channels;
  int64_t input_frames;
};

// Where the input leaves at least the codec delay of silence in its last pass,
// the export adds no frame; at 48 kHz every frame is as long as its header.
TEST(Mp3Export, EqualsShineencWhereNothingNeedsRepair) {
  const ShineencCase cases[] = {
      {"stereo, last pass part filled", 48000, 2, 10 * 1152 - 1100},
      {"mono, last pass part filled", 48000, 1, 10 * 1152 - 1100},
      {"stereo, one pass short of the delay", 48000, 2, 4 * 1152 - kDelay},
  };
  for (const ShineencCase& c : cases) {
    SCOPED_TRACE(c.name);
    Samples in = Tones(c.input_frames, c.channels, c.rate);
    Bytes reference = Shineenc(WavOf(in, c.channels, c.rate), c.channels == 2);
    ASSERT_FALSE(reference.empty()) << "shineenc did not run";
    EXPECT_EQ(EncodeMp3(in, c.channels, c.rate), reference);
  }
}

// Elsewhere the export is shineenc's stream with the repairs applied and the
// frames that carry the rest of the input appended.
TEST(Mp3Export, DiffersFromShineencOnlyByRepairsAndTheTail) {
  const ShineencCase cases[] = {
      {"48 kHz stereo, whole passes", 48000, 2, 8 * 1152},
      {"44.1 kHz stereo, shineenc loses bytes", 44100, 2, 4 * 1152 + 500},
      {"44.1 kHz stereo", 44100, 2, 7 * 1152 + 500},
      {"44.1 kHz mono", 44100, 1, 9 * 1152 + 3},
      {"32 kHz stereo", 32000, 2, 6 * 1152 + 17},
      {"32 kHz mono", 32000, 1, 5 * 1152},
  };
  for (const ShineencCase& c : cases) {
    SCOPED_TRACE(c.name);
    Samples in = Tones(c.input_frames, c.channels, c.rate);
    Bytes reference = Shineenc(WavOf(in, c.channels, c.rate), c.channels == 2);
    ASSERT_FALSE(reference.empty()) << "shineenc did not run";
    Bytes ours = EncodeMp3(in, c.channels, c.rate);
    ASSERT_GE(ours.size(), reference.size());
    const int64_t shine_frames = (c.input_frames + 1151) / 1152;
    std::string error;
    std::vector<Mp3Frame> frames = ParseFrames(ours, &error);
    ASSERT_EQ(error, "");
    ASSERT_GE(static_cast<int64_t>(frames.size()), shine_frames);
    Bytes expected(ours.begin(), ours.begin() + static_cast<std::ptrdiff_t>(reference.size()));
    if (c.rate == 32000) {
      // libshine sets the padding bit on 864-byte frames that carry no padding byte.
      for (int64_t k = 0; k < shine_frames; ++k) {
        EXPECT_EQ(frames[k].offset, static_cast<size_t>(k * 864));
        EXPECT_FALSE(frames[k].padding);
        expected[frames[k].offset + 2] |= 0x02;
      }
    }
    EXPECT_EQ(expected, reference);
  }
}

TEST(Mp3Export, ShineencsOwnStreamEndsShortOfItsLastFrame) {
  Samples in = Tones(4 * 1152 + 500, 2, 44100);
  Bytes reference = Shineenc(WavOf(in, 2, 44100), true);
  ASSERT_FALSE(reference.empty()) << "shineenc did not run";
  std::string error;
  ParseFrames(reference, &error);
  EXPECT_NE(error.find("past the end"), std::string::npos) << error;
}

TEST(Mp3Export, ReadsAnInputThatIsMp3Data) {
  for (int channels : {1, 2}) {
    SCOPED_TRACE(channels);
    Bytes first = EncodeMp3(Tones(30000, channels, 44100), channels, 44100);
    int c = 0, r = 0;
    Samples decoded = DecodeMp3(first, &c, &r);
    TempFolder folder;
    WriteBytes(folder / "input.wav", first);
    ASSERT_TRUE(EncodeMp3File(folder / "input.wav", folder / "out.mp3", folder / "out.part").ok());
    Bytes second = ReadBytes(folder / "out.mp3");
    EXPECT_EQ(second, EncodeMp3(decoded, channels, 44100));
    Samples again = DecodeMp3(second, &c, &r);
    EXPECT_GE(Compare(decoded, again, channels, kDelay).snr_db, kMinSnrDb);
  }
}

TEST(Mp3Export, LeavesNoFileWhenItFails) {
  TempFolder folder;
  WriteBytes(folder / "input.wav", WavOf(Ramp(100, 2), 2, 44000));
  WriteBytes(folder / "out.mp3", Bytes{1, 2, 3});
  Status s = EncodeMp3File(folder / "input.wav", folder / "out.mp3", folder / "out.part");
  EXPECT_TRUE(s.failed());
  EXPECT_EQ(s.message(), "cannot encode MP3 at 44000 Hz (MP3 sample rates are 8000 to 48000 Hz)");
  EXPECT_EQ(ReadBytes(folder / "out.mp3"), (Bytes{1, 2, 3}));
  EXPECT_FALSE(std::filesystem::exists(folder / "out.part"));
}

// The raw output of libshine, pass by pass, for the repair tests.
std::vector<Bytes> ShinePieces(int rate, int channels, int kbps, int passes) {
  shine_config_t config;
  std::memset(&config, 0, sizeof config);
  shine_set_config_mpeg_defaults(&config.mpeg);
  config.wave.channels = channels == 1 ? PCM_MONO : PCM_STEREO;
  config.wave.samplerate = rate;
  config.mpeg.mode = channels == 1 ? MONO : DUAL_CHANNEL;
  config.mpeg.bitr = kbps;
  shine_t shine = shine_initialise(&config);
  const int pass = shine_samples_per_pass(shine);
  Samples in = Tones(static_cast<int64_t>(pass) * passes, channels, rate);
  std::vector<Bytes> pieces;
  int written = 0;
  for (int p = 0; p < passes; ++p) {
    unsigned char* bytes =
        shine_encode_buffer_interleaved(shine, in.data() + p * pass * channels, &written);
    pieces.emplace_back(bytes, bytes + written);
  }
  unsigned char* bytes = shine_flush(shine, &written);
  pieces.emplace_back(bytes, bytes + written);
  shine_close(shine);
  return pieces;
}

Bytes Joined(const std::vector<Bytes>& pieces) {
  Bytes all;
  for (const Bytes& p : pieces) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(Mp3FrameRepair, GivesTheSameBytesWhateverPiecesTheyComeIn) {
  for (int rate : {32000, 44100, 22050}) {
    SCOPED_TRACE(rate);
    const int kbps = Mp3BitRate(rate, 2);
    Bytes raw = Joined(ShinePieces(rate, 2, kbps, 6));
    Mp3FrameRepair whole(rate, kbps);
    Bytes expected;
    ASSERT_TRUE(whole.Feed(raw.data(), raw.size(), expected).ok());
    ASSERT_TRUE(whole.Finish(expected).ok());
    EXPECT_EQ(whole.frames(), 6);
    std::string error;
    EXPECT_EQ(ParseFrames(expected, &error).size(), 6u);
    EXPECT_EQ(error, "");
    Mp3FrameRepair bytewise(rate, kbps);
    Bytes got;
    for (uint8_t b : raw) ASSERT_TRUE(bytewise.Feed(&b, 1, got).ok());
    ASSERT_TRUE(bytewise.Finish(got).ok());
    EXPECT_EQ(got, expected);
  }
}

TEST(Mp3FrameRepair, RefusesBytesThatAreNotTheNextFrame) {
  Bytes raw = Joined(ShinePieces(44100, 2, 192, 4));
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

Bytes WorkingWav() {
  WavLayout layout;
  layout.rate = 44100;
  return BuildWav(layout, Tones(20000, 2, 44100));
}

TEST(Mp3ExportRun, WritesTheMp3ThenClearsTheWorkingFileAndHistory) {
  Workspace ws;
  Bytes wav = WorkingWav();
  ws.PutWorking(wav);
  fs::create_directory(ws.root() / "audio/oldversions");
  ws.Put("audio/oldversions/output_2026_1_2_3_4_5.wav", wav);
  RunResult r = ws.Run("999 0 0 0 0");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(ws.Get("audio/output.mp3"), EncodeMp3(SamplesOf(wav), 2, 44100));
  EXPECT_FALSE(ws.Has("audio/oldversions"));
  EXPECT_EQ(ws.AudioFiles(), std::vector<std::string>{"output.mp3"});
}

struct ExportFailure {
  const char* name;
  bool working;  // whether there is a working file
  Bytes bytes;
  bool read_message;
  int64_t file_size_limit;
};

TEST(Mp3ExportRun, AFailedExportLeavesEverythingAsItWas) {
  WavLayout eight_bit;
  eight_bit.bits = 8;
  WavLayout odd_rate;
  odd_rate.rate = 44000;
  const Bytes working = WorkingWav();
  Bytes random(5000);
  uint32_t x = 7;
  for (uint8_t& b : random) b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
  const ExportFailure cases[] = {
      {"no working file", false, {}, true, -1},
      {"empty working file", true, {}, true, -1},
      {"random bytes", true, random, true, -1},
      {"8-bit WAV", true, BuildWav(eight_bit, Samples(400, 3)), true, -1},
      {"truncated WAV", true, Bytes(working.begin(), working.begin() + 1000), true, -1},
      {"no MP3 sample rate", true, BuildWav(odd_rate, Ramp(1000, 2)), false, -1},
      {"disk full", true, WorkingWav(), false, 4000},
  };
  for (const ExportFailure& c : cases) {
    SCOPED_TRACE(c.name);
    Workspace ws;
    if (c.working) ws.PutWorking(c.bytes);
    const Bytes previous_mp3 = {'I', 'D', '3', 0, 1, 2};
    ws.Put("audio/output.mp3", previous_mp3);
    fs::create_directory(ws.root() / "audio/oldversions");
    ws.Put("audio/oldversions/output_2026_1_2_3_4_5.wav", WorkingWav());
    RunOptions options;
    options.file_size_limit = c.file_size_limit;
    RunResult r = ws.Run("999 0 0 0 0", options);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, c.read_message ? "read file [audio/output.wav] error.\n" : "");
    EXPECT_EQ(r.err.rfind("tolva: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(ws.Get("audio/output.mp3"), previous_mp3);
    if (c.working) {
      EXPECT_EQ(ws.Working(), c.bytes);
    }
    EXPECT_EQ(ws.Snapshots(), std::vector<std::string>{"output_2026_1_2_3_4_5.wav"});
    EXPECT_EQ(ws.Get("audio/oldversions/output_2026_1_2_3_4_5.wav"), WorkingWav());
    EXPECT_FALSE(ws.Has("audio/temp.mp3"));
  }
}

}  // namespace
}  // namespace tolva::testing
