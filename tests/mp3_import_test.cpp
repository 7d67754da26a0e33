#include "mp3_tools.h"

namespace tolva::testing {
namespace {

Bytes Head(const Bytes& b, size_t n) {
  return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(std::min(n, b.size())));
}

// The 44-byte header the import must write, built from the rule.
Bytes ExpectedHeader(int channels, int rate, int64_t frames) {
  return Head(BuildWav({.channels = channels, .rate = rate}, {}, frames * channels * 2), 44);
}

// Samples per channel of the frames the stream's headers declare.
int64_t FramesOf(const Bytes& mp3) {
  std::string error;
  int64_t n = 0;
  for (const Mp3Frame& f : ParseFrames(mp3, &error)) n += f.samples;
  if (!error.empty()) throw std::runtime_error(error);
  return n;
}

// The real binary, as a front end runs it: op 0 replaces the working file.
TEST(Mp3ImportRun, InstallsTheCanonicalWavOfEveryFrameOfOurOwnMp3s) {
  const std::pair<int, int> cases[] = {{44100, 2}, {44100, 1}, {48000, 2}, {32000, 1},
                                       {22050, 2}, {16000, 1}, {11025, 2}, {8000, 1}};
  for (auto [rate, channels] : cases) {
    SCOPED_TRACE(std::to_string(rate) + " Hz, " + std::to_string(channels) + " channel(s)");
    Workspace ws;
    ws.PutWorking(BuildWav(WavLayout{}, Ramp(100, 2)));
    const Samples original = Tones(rate / 4 + 11, channels, rate);
    const Bytes mp3 = EncodeMp3(original, channels, rate);
    ws.Put("audio/res.mp3", mp3);
    RunResult r = ws.Run("0 0 0 0 0");
    EXPECT_EQ(std::tie(r.exit_code, r.out, r.err), std::make_tuple(0, "", ""));
    const Bytes wav = ws.Working();
    const int64_t frames = FramesOf(mp3);
    EXPECT_EQ(Head(wav, 44), ExpectedHeader(channels, rate, frames));
    EXPECT_EQ(static_cast<int64_t>(wav.size()), 44 + frames * channels * 2);
    int dc = 0, dr = 0;
    const Samples samples = SamplesOf(wav);
    EXPECT_EQ(samples, DecodeMp3(mp3, &dc, &dr));
    EXPECT_GE(Compare(original, samples, channels, kMp3Delay).snr_db, kMinMp3SnrDb);
    EXPECT_EQ(ws.AudioFiles(), (std::vector<std::string>{"oldversions", "output.wav", "res.mp3"}));
    EXPECT_TRUE(ws.Snapshots().empty());
  }
}

Bytes Id3v2Tag() {
  // 128 bytes of frames (a synchsafe size); the title ends in a frame sync.
  const uint8_t start[] = {'I', 'D', '3', 3, 0, 0, 0,   0,   1,   0,   'T', 'I', 'T', '2',  0,
                           0,   0,   10,  0, 0, 0, 'a', ' ', 't', 'i', 't', 'l', 'e', 0xFF, 0xFB};
  Bytes tag(138, 0);
  std::copy(std::begin(start), std::end(start), tag.begin());
  return tag;
}

TEST(Mp3Import, TagsJunkAndATruncatedTailDoNotDisturbIt) {
  const Bytes mp3 = EncodeMp3(Tones(20000, 2, 44100), 2, 44100);
  std::string error;
  const std::vector<Mp3Frame> frames = ParseFrames(mp3, &error);
  ASSERT_EQ(error, "");
  int c = 0, r = 0;
  const Samples clean = DecodeMp3(mp3, &c, &r);
  auto spliced = [&](size_t at, const Bytes& insert) {
    Bytes out = Head(mp3, at);
    out.insert(out.end(), insert.begin(), insert.end());
    out.insert(out.end(), mp3.begin() + static_cast<std::ptrdiff_t>(at), mp3.end());
    return out;
  };
  Bytes id3v1 = {'T', 'A', 'G'};
  id3v1.resize(128, ' ');
  const struct {
    const char* name;
    Bytes mp3;
    int64_t frames_lost;     // whole frames the damage costs at the end
    int64_t resynced_frame;  // the frame after junk, or -1
  } cases[] = {
      {"ID3v2 tag in front", spliced(0, Id3v2Tag()), 0, -1},
      {"ID3v1 tag at the end", spliced(mp3.size(), id3v1), 0, -1},
      // This junk holds a stray header that passes for a frame at 32 kHz.
      {"junk between frames", spliced(frames[5].offset, Junk(3000, 1)), 0, 5},
      {"zero bytes between frames", spliced(frames[9].offset, Bytes(700, 0)), 0, 9},
      {"last frame cut in half", Head(mp3, mp3.size() - frames.back().length / 2), 1, -1},
      {"four bytes after the last frame", spliced(mp3.size(), Bytes{1, 2, 3, 4}), 0, -1},
  };
  for (const auto& d : cases) {
    SCOPED_TRACE(d.name);
    Workspace ws;
    ws.Put("audio/res.mp3", d.mp3);
    Status s = Converter(0);
    ASSERT_TRUE(s.ok()) << s.message();
    Bytes wav = ws.Get("audio/res.wav");
    const int64_t kept = (static_cast<int64_t>(frames.size()) - d.frames_lost) * 1152;
    EXPECT_EQ(Head(wav, 44), ExpectedHeader(2, 44100, kept));
    Samples got = SamplesOf(wav), want(clean.begin(), clean.begin() + kept * 2);
    ASSERT_EQ(got.size(), want.size());
    if (d.resynced_frame >= 0) {
      // libmpg123 starts the frame after a discontinuity without the overlap
      // of the one before it.
      const int64_t from = d.resynced_frame * 1152 * 2;
      std::fill(got.begin() + from, got.begin() + from + 1152 * 2, 0);
      std::fill(want.begin() + from, want.begin() + from + 1152 * 2, 0);
    }
    EXPECT_EQ(got, want);
  }
}

TEST(Mp3Import, FailsWhenTheSamplesWouldNotFitTheHeader) {
  Workspace scratch;
  Bytes mp3 = EncodeMp3(Tones(5000, 2, 44100), 2, 44100);
  scratch.Put("in.mp3", mp3);
  const int64_t data_bytes = FramesOf(mp3) * 4;
  Status s = DecodeMp3ToWav("in.mp3", "out.wav", "out.part", data_bytes - 1);
  EXPECT_TRUE(s.failed());
  EXPECT_EQ(s.message(), "in.mp3 decodes to more audio than a WAV file can hold");
  EXPECT_FALSE(scratch.Has("out.wav"));
  EXPECT_FALSE(scratch.Has("out.part"));
  ASSERT_TRUE(DecodeMp3ToWav("in.mp3", "out.wav", "out.part", data_bytes).ok());
  EXPECT_EQ(static_cast<int64_t>(scratch.Get("out.wav").size()), 44 + data_bytes);
  // The largest size the header's signed 32-bit fields hold.
  EXPECT_EQ(kMaxWavDataBytes + 36, INT32_MAX);
}

TEST(Mp3ImportRun, AFailedImportLeavesTheWorkingFileAsItWas) {
  Bytes mono = EncodeMp3(Tones(3000, 1, 44100), 1, 44100);
  Bytes stereo = EncodeMp3(Tones(3000, 2, 44100), 2, 44100);
  Bytes at48 = EncodeMp3(Tones(3000, 2, 48000), 2, 48000);
  Bytes mono_then_stereo = mono, rate_change = stereo;
  mono_then_stereo.insert(mono_then_stereo.end(), stereo.begin(), stereo.end());
  rate_change.insert(rate_change.end(), at48.begin(), at48.end());
  const std::string kNoAudio = "audio/res.mp3 holds no MP3 audio";
  const struct {
    const char* name;
    bool present;
    Bytes bytes;
    std::string message;
  } cases[] = {
      {"missing", false, {}, "there is no audio/res.mp3"},
      {"empty", true, {}, kNoAudio},
      {"zero bytes", true, Bytes(4096, 0), kNoAudio},
      {"random bytes", true, Junk(65536, 99), kNoAudio},
      {"a tag and no frame", true, Id3v2Tag(), kNoAudio},
      {"a WAV file", true, BuildWav(WavLayout{}, Ramp(3000, 2)), kNoAudio},
      {"mono, then stereo", true, mono_then_stereo,
       "audio/res.mp3 changes from 1 channels at 44100 Hz to 2 channels at 44100 Hz midway"},
      {"44.1 kHz, then 48 kHz", true, rate_change,
       "audio/res.mp3 changes from 2 channels at 44100 Hz to 2 channels at 48000 Hz midway"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Workspace ws;
    const Bytes working = BuildWav(WavLayout{}, Ramp(1000, 2));
    ws.PutWorking(working);
    if (c.present) ws.Put("audio/res.mp3", c.bytes);
    RunResult r = ws.Run("0 0 0 0 0");
    EXPECT_EQ(std::tie(r.exit_code, r.out, r.err),
              std::make_tuple(1, "", "tolva: " + c.message + "\n"));
    EXPECT_EQ(ws.Working(), working);
    EXPECT_FALSE(ws.Has("audio/res.wav"));
    EXPECT_FALSE(ws.Has("audio/temp.wav"));
  }
}

// Import, edit, export (which clears the working file and its history),
// import again: the second import holds the edited audio, 1057 frames late,
// to within one encode's error.
TEST(Mp3ImportRun, SurvivesARoundTripThroughEditsAndExport) {
  Workspace ws;
  ws.Put("audio/res.mp3", EncodeMp3(Tones(44100, 2, 44100), 2, 44100));
  ASSERT_EQ(ws.Run("0 0 0 0 0").exit_code, 0);
  const Samples imported = SamplesOf(ws.Working());
  ASSERT_EQ(ws.Run("2 0.25 0.5 0 0.5").exit_code, 0);
  const Samples edited = SamplesOf(ws.Working());
  ASSERT_NE(edited, imported);
  ASSERT_EQ(ws.Snapshots().size(), 1u);
  RunResult r = ws.Run("999 0 0 0 0");
  EXPECT_EQ(std::tie(r.exit_code, r.out, r.err), std::make_tuple(0, "", ""));
  const Bytes second_mp3 = ws.Get("audio/output.mp3");
  EXPECT_EQ(second_mp3, EncodeMp3(edited, 2, 44100));
  EXPECT_EQ(ws.AudioFiles(), (std::vector<std::string>{"output.mp3", "res.mp3"}));
  ws.Put("audio/res.mp3", second_mp3);
  ASSERT_EQ(ws.Run("0 0 0 0 0").exit_code, 0);
  EXPECT_EQ(Head(ws.Working(), 44), ExpectedHeader(2, 44100, FramesOf(second_mp3)));
  EXPECT_GE(Compare(edited, SamplesOf(ws.Working()), 2, kMp3Delay).snr_db, kMinMp3SnrDb);
}

}  // namespace
}  // namespace tolva::testing
