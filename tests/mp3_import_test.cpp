#include "codec.h"
#include "mp3_tools.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

// See mp3_export_test.cpp: decoded samples follow the input 1057 frames late,
// and one encode of the test tones measures at least 39 dB at every rate.
constexpr int64_t kDelay = 1057;
constexpr double kMinSnrDb = 35;

// The 44-byte header the import must write, built from the rule.
Bytes ExpectedHeader(int channels, int rate, int64_t frames) {
  WavLayout layout;
  layout.channels = channels;
  layout.rate = rate;
  Bytes wav = BuildWav(layout, {}, frames * channels * 2);
  return Bytes(wav.begin(), wav.begin() + 44);
}

Bytes Head(const Bytes& b, size_t n) {
  return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(std::min(n, b.size())));
}

int64_t FramesOf(const Bytes& mp3) {
  std::string error;
  int64_t n = FrameSamples(ParseFrames(mp3, &error));
  if (!error.empty()) throw std::runtime_error(error);
  return n;
}

struct ImportCase {
  int rate;
  int channels;
};

TEST(Mp3Import, WritesTheCanonicalHeaderAndEveryFrameOfOurOwnMp3s) {
  const ImportCase cases[] = {{44100, 2}, {44100, 1}, {48000, 2}, {32000, 1},
                              {22050, 2}, {16000, 1}, {11025, 2}, {8000, 1}};
  for (const ImportCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " channel(s)");
    Workspace ws;
    Samples original = Tones(c.rate / 4 + 11, c.channels, c.rate);
    Bytes mp3 = EncodeMp3(original, c.channels, c.rate);
    ws.Put("audio/res.mp3", mp3);
    ASSERT_TRUE(Converter(0).ok());
    Bytes wav = ws.Get("audio/res.wav");
    const int64_t frames = FramesOf(mp3);
    EXPECT_EQ(Head(wav, 44), ExpectedHeader(c.channels, c.rate, frames));
    EXPECT_EQ(static_cast<int64_t>(wav.size()), 44 + frames * c.channels * 2);
    int channels = 0, rate = 0;
    Samples samples = SamplesOf(wav);
    EXPECT_EQ(samples, DecodeMp3(mp3, &channels, &rate));
    EXPECT_GE(Compare(original, samples, c.channels, kDelay).snr_db, kMinSnrDb);
    EXPECT_EQ(ws.AudioFiles(), (std::vector<std::string>{"res.mp3", "res.wav"}));
  }
}

TEST(Mp3Import, TheSecondSourceGoesToRes1) {
  Workspace ws;
  Bytes mp3 = EncodeMp3(Tones(5000, 2, 44100), 2, 44100);
  ws.Put("audio/res1.mp3", mp3);
  ASSERT_TRUE(Converter(1).ok());
  EXPECT_EQ(ws.AudioFiles(), (std::vector<std::string>{"res1.mp3", "res1.wav"}));
  int c = 0, r = 0;
  EXPECT_EQ(SamplesOf(ws.Get("audio/res1.wav")), DecodeMp3(mp3, &c, &r));
}

Bytes Id3v2Tag() {
  Bytes tag = {'I', 'D', '3', 3, 0, 0, 0, 0, 1, 0};  // 128 bytes of frames, synchsafe
  Bytes body = {'T', 'I', 'T', '2', 0,   0,   0,   10,  0,    0,
                0,   'a', ' ', 't', 'i', 't', 'l', 'e', 0xFF, 0xFB};
  body.resize(128, 0);
  tag.insert(tag.end(), body.begin(), body.end());
  return tag;
}

Bytes Junk(size_t size, uint32_t seed) {
  Bytes junk(size);
  for (uint8_t& b : junk) {
    seed = seed * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(seed >> 24);
  }
  return junk;
}

struct Damage {
  const char* name;
  Bytes mp3;
  int64_t frames_lost;     // whole frames the damage costs at the end
  int64_t resynced_frame;  // the frame after junk, or -1
};

TEST(Mp3Import, TagsJunkAndATruncatedTailDoNotDisturbIt) {
  Samples original = Tones(20000, 2, 44100);
  const Bytes mp3 = EncodeMp3(original, 2, 44100);
  std::string error;
  std::vector<Mp3Frame> frames = ParseFrames(mp3, &error);
  ASSERT_EQ(error, "");
  int c = 0, r = 0;
  const Samples clean = DecodeMp3(mp3, &c, &r);
  auto spliced = [&](size_t at, const Bytes& insert) {
    Bytes out(mp3.begin(), mp3.begin() + static_cast<std::ptrdiff_t>(at));
    out.insert(out.end(), insert.begin(), insert.end());
    out.insert(out.end(), mp3.begin() + static_cast<std::ptrdiff_t>(at), mp3.end());
    return out;
  };
  Bytes id3v1 = {'T', 'A', 'G'};
  id3v1.resize(128, ' ');
  const Damage cases[] = {
      {"ID3v2 tag in front", spliced(0, Id3v2Tag()), 0, -1},
      {"ID3v1 tag at the end", spliced(mp3.size(), id3v1), 0, -1},
      // This junk holds a stray header that passes for a frame at 32 kHz.
      {"junk between frames", spliced(frames[5].offset, Junk(3000, 1)), 0, 5},
      {"zero bytes between frames", spliced(frames[9].offset, Bytes(700, 0)), 0, 9},
      {"last frame cut in half", Head(mp3, mp3.size() - frames.back().length / 2), 1, -1},
      {"four bytes after the last frame", spliced(mp3.size(), Bytes{1, 2, 3, 4}), 0, -1},
  };
  for (const Damage& d : cases) {
    SCOPED_TRACE(d.name);
    Workspace ws;
    ws.Put("audio/res.mp3", d.mp3);
    Status s = Converter(0);
    ASSERT_TRUE(s.ok()) << s.message();
    Bytes wav = ws.Get("audio/res.wav");
    const int64_t kept = (static_cast<int64_t>(frames.size()) - d.frames_lost) * 1152;
    EXPECT_EQ(Head(wav, 44), ExpectedHeader(2, 44100, kept));
    Samples got = SamplesOf(wav);
    Samples want(clean.begin(), clean.begin() + kept * 2);
    ASSERT_EQ(got.size(), want.size());
    if (d.resynced_frame >= 0) {
      // libmpg123 starts the frame after a discontinuity without the overlap
      // of the one before it.
      const size_t from = static_cast<size_t>(d.resynced_frame * 1152 * 2);
      std::fill(got.begin() + from, got.begin() + from + 1152 * 2, 0);
      std::fill(want.begin() + from, want.begin() + from + 1152 * 2, 0);
    }
    EXPECT_EQ(got, want);
  }
}

struct Unusable {
  const char* name;
  bool present;
  Bytes bytes;
  std::string message;
};

std::vector<Unusable> UnusableSources() {
  Bytes mono = EncodeMp3(Tones(3000, 1, 44100), 1, 44100);
  Bytes stereo = EncodeMp3(Tones(3000, 2, 44100), 2, 44100);
  Bytes at48 = EncodeMp3(Tones(3000, 2, 48000), 2, 48000);
  Bytes mono_then_stereo = mono;
  mono_then_stereo.insert(mono_then_stereo.end(), stereo.begin(), stereo.end());
  Bytes rate_change = stereo;
  rate_change.insert(rate_change.end(), at48.begin(), at48.end());
  return {
      {"missing", false, {}, "there is no audio/res.mp3"},
      {"empty", true, {}, "audio/res.mp3 holds no MP3 audio"},
      {"zero bytes", true, Bytes(4096, 0), "audio/res.mp3 holds no MP3 audio"},
      {"random bytes", true, Junk(65536, 99), "audio/res.mp3 holds no MP3 audio"},
      {"a tag and no frame", true, Id3v2Tag(), "audio/res.mp3 holds no MP3 audio"},
      {"a WAV file", true, BuildWav(WavLayout{}, Ramp(3000, 2)),
       "audio/res.mp3 holds no MP3 audio"},
      {"mono, then stereo", true, mono_then_stereo,
       "audio/res.mp3 changes from 1 channels at 44100 Hz to 2 channels at 44100 Hz midway"},
      {"44.1 kHz, then 48 kHz", true, rate_change,
       "audio/res.mp3 changes from 2 channels at 44100 Hz to 2 channels at 48000 Hz midway"},
  };
}

TEST(Mp3Import, FailsWithoutWritingOnSourcesWithoutUsableAudio) {
  for (const Unusable& u : UnusableSources()) {
    SCOPED_TRACE(u.name);
    Workspace ws;
    if (u.present) ws.Put("audio/res.mp3", u.bytes);
    Status s = Converter(0);
    EXPECT_TRUE(s.failed());
    EXPECT_EQ(s.message(), u.message);
    EXPECT_FALSE(ws.Has("audio/res.wav"));
    EXPECT_FALSE(ws.Has("audio/temp.wav"));
  }
}

TEST(Mp3Import, FailsWhenTheSamplesWouldNotFitTheHeader) {
  TempFolder folder;
  Bytes mp3 = EncodeMp3(Tones(5000, 2, 44100), 2, 44100);
  WriteBytes(folder / "in.mp3", mp3);
  const int64_t data_bytes = FramesOf(mp3) * 4;
  Status s =
      DecodeMp3ToWav(folder / "in.mp3", folder / "out.wav", folder / "out.part", data_bytes - 1);
  EXPECT_TRUE(s.failed());
  EXPECT_EQ(s.message(),
            (folder / "in.mp3").string() + " decodes to more audio than a WAV file can hold");
  EXPECT_FALSE(std::filesystem::exists(folder / "out.wav"));
  EXPECT_FALSE(std::filesystem::exists(folder / "out.part"));
  ASSERT_TRUE(
      DecodeMp3ToWav(folder / "in.mp3", folder / "out.wav", folder / "out.part", data_bytes).ok());
  EXPECT_EQ(static_cast<int64_t>(ReadBytes(folder / "out.wav").size()), 44 + data_bytes);
  // The largest size the header's signed 32-bit fields hold.
  EXPECT_EQ(kMaxWavDataBytes + 36, INT32_MAX);
}

// The real binary, as a front end runs it.

TEST(Mp3ImportRun, InstallsTheDecodedRecordingAsTheWorkingFile) {
  Workspace ws;
  ws.PutWorking(BuildWav(WavLayout{}, Ramp(100, 2)));
  Bytes mp3 = EncodeMp3(Tones(9000, 1, 22050), 1, 22050);
  ws.Put("audio/res.mp3", mp3);
  RunResult r = ws.Run("0 0 0 0 0");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  Bytes wav = ws.Working();
  int c = 0, rate = 0;
  EXPECT_EQ(Head(wav, 44), ExpectedHeader(1, 22050, FramesOf(mp3)));
  EXPECT_EQ(SamplesOf(wav), DecodeMp3(mp3, &c, &rate));
  EXPECT_EQ(ws.AudioFiles(), (std::vector<std::string>{"oldversions", "output.wav", "res.mp3"}));
  EXPECT_TRUE(ws.Snapshots().empty());
}

TEST(Mp3ImportRun, AFailedImportLeavesTheWorkingFileAsItWas) {
  for (const Unusable& u : UnusableSources()) {
    SCOPED_TRACE(u.name);
    Workspace ws;
    const Bytes working = BuildWav(WavLayout{}, Ramp(1000, 2));
    ws.PutWorking(working);
    if (u.present) ws.Put("audio/res.mp3", u.bytes);
    RunResult r = ws.Run("0 0 0 0 0");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tolva: " + u.message + "\n");
    EXPECT_EQ(ws.Working(), working);
    EXPECT_FALSE(ws.Has("audio/res.wav"));
    EXPECT_FALSE(ws.Has("audio/temp.wav"));
  }
}

// Import, edit, export, import again: the second import holds the edited
// audio, 1057 frames late, to within one encode's error.
TEST(Mp3ImportRun, SurvivesARoundTripThroughEditsAndExport) {
  Workspace ws;
  Bytes first_mp3 = EncodeMp3(Tones(44100, 2, 44100), 2, 44100);
  ws.Put("audio/res.mp3", first_mp3);
  ASSERT_EQ(ws.Run("0 0 0 0 0").exit_code, 0);
  Samples imported = SamplesOf(ws.Working());
  ASSERT_EQ(ws.Run("2 0.25 0.5 0 0.5").exit_code, 0);
  Samples edited = imported;
  for (int64_t i = 11025 * 2; i < 22050 * 2; ++i)
    edited[i] = static_cast<int16_t>(std::trunc(edited[i] * 0.5));
  EXPECT_EQ(SamplesOf(ws.Working()), edited);
  ASSERT_EQ(ws.Run("999 0 0 0 0").exit_code, 0);
  EXPECT_FALSE(ws.Has("audio/output.wav"));
  EXPECT_FALSE(ws.Has("audio/oldversions"));
  Bytes second_mp3 = ws.Get("audio/output.mp3");
  ws.Put("audio/res.mp3", second_mp3);
  ASSERT_EQ(ws.Run("0 0 0 0 0").exit_code, 0);
  Bytes wav = ws.Working();
  const int64_t frames = FramesOf(second_mp3);
  EXPECT_GE(frames, static_cast<int64_t>(edited.size() / 2) + kDelay);
  EXPECT_EQ(Head(wav, 44), ExpectedHeader(2, 44100, frames));
  EXPECT_GE(Compare(edited, SamplesOf(wav), 2, kDelay).snr_db, kMinSnrDb);
}

}  // namespace
}  // namespace tolva::testing
