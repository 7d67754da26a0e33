#include "mp3_tools.h"

namespace tolva::testing {
namespace {

Bytes Slice(const Bytes& b, size_t from, size_t to) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
               b.begin() + static_cast<std::ptrdiff_t>(std::min(to, b.size())));
}

// The real binary, as a front end runs it: op 0 installs exactly the recording
// lame encoded, not shifted: the frames mpg123 -w gives.
TEST(Mp3ImportRun, GivesBackExactlyTheRecordingLameEncoded) {
  for (int rate : {44100, 32000, 22050}) {
    for (int channels : {1, 2}) {
      SCOPED_TRACE(std::to_string(rate) + " Hz, " + std::to_string(channels) + " channel(s)");
      Workspace ws;
      ws.PutWorking(BuildWav(WavLayout{}, Ramp(100, 2)));
      const Samples original = Tones(rate * 3 / 4 + 11, channels, rate);
      const Bytes mp3 = Lame(original, channels, rate);
      ws.Put("audio/res.mp3", mp3);
      RunResult r = ws.Run("0 0 0 0 0");
      EXPECT_EQ(std::tie(r.exit_code, r.out, r.err), std::make_tuple(0, "", ""));
      EXPECT_EQ(ws.Working(), DecodeMp3(mp3));
      const Samples samples = SamplesOf(ws.Working());
      EXPECT_EQ(samples.size(), original.size());
      EXPECT_GE(Compare(original, samples, channels).snr_db, kMinMp3SnrDb);
      EXPECT_EQ(ws.AudioFiles(),
                (std::vector<std::string>{"oldversions", "output.wav", "res.mp3"}));
      // lame's tag CRC, an independent check of the one the export writes.
      std::string error;
      const size_t crc_at = ParseFrames(mp3, &error)[0].TagCrcOffset();
      EXPECT_EQ(Crc16(mp3.data(), crc_at), BigEndian(mp3, crc_at, 2));
    }
  }
}

// A stream without an information frame, damaged: every frame is decoded whole.
TEST(Mp3Import, TagsJunkStrayFramesAndATruncatedTailDoNotDisturbIt) {
  const Bytes tagged = EncodeMp3(Tones(20000, 2, 44100), 2, 44100);
  std::string error;
  const Bytes mp3 = Slice(tagged, ParseFrames(tagged, &error)[1].offset, tagged.size());
  const std::vector<Mp3Frame> frames = ParseFrames(mp3, &error);
  const Bytes at48 = EncodeMp3(Tones(5000, 2, 48000), 2, 48000);
  const size_t frame48 = ParseFrames(at48, &error)[1].length;
  const Samples clean = SamplesOf(DecodeMp3(mp3));
  auto spliced = [&](size_t at, const Bytes& insert) {
    Bytes out = Slice(mp3, 0, at);
    out.insert(out.end(), insert.begin(), insert.end());
    out.insert(out.end(), mp3.begin() + static_cast<std::ptrdiff_t>(at), mp3.end());
    return out;
  };
  const Bytes id3v2 = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 2, 0xFF, 0xFB};
  Bytes id3v1 = {'T', 'A', 'G'};
  id3v1.resize(128, ' ');
  Bytes stray = Junk(700, 3);
  Bytes stray_frames = Slice(at48, frame48, 3 * frame48);  // two frames of 48 kHz
  stray.insert(stray.end(), stray_frames.begin(), stray_frames.end());
  const struct {
    const char* name;
    Bytes mp3;
    int64_t frames_lost;     // whole frames the damage costs at the end
    int64_t resynced_frame;  // the frame after junk, or -1
  } cases[] = {
      {"ID3v2 tag in front", spliced(0, id3v2), 0, -1},
      {"ID3v1 tag at the end", spliced(mp3.size(), id3v1), 0, -1},
      // This junk holds a stray header that passes for a frame at 32 kHz.
      {"junk between frames", spliced(frames[5].offset, Junk(3000, 1)), 0, 5},
      {"two frames of another format in junk", spliced(frames[7].offset, stray), 0, 7},
      {"last frame cut in half", Slice(mp3, 0, mp3.size() - frames.back().length / 2), 1, -1},
  };
  for (const auto& d : cases) {
    SCOPED_TRACE(d.name);
    Workspace ws;
    ws.Put("audio/res.mp3", d.mp3);
    Status s = Converter(0);
    ASSERT_TRUE(s.ok()) << s.message();
    const Bytes wav = ws.Get("audio/res.wav");
    const int64_t kept = (static_cast<int64_t>(frames.size()) - d.frames_lost) * 1152;
    EXPECT_EQ(HeaderOf(wav).DataSize, kept * 4);
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
  scratch.Put("in.mp3", EncodeMp3(Tones(5000, 2, 44100), 2, 44100));
  Status s = DecodeMp3ToWav("in.mp3", "out.wav", "out.part", 5000 * 4 - 1);
  EXPECT_EQ(s.message(), "in.mp3 decodes to more audio than a WAV file can hold");
  EXPECT_FALSE(scratch.Has("out.wav") || scratch.Has("out.part"));
  ASSERT_TRUE(DecodeMp3ToWav("in.mp3", "out.wav", "out.part", 5000 * 4).ok());
  EXPECT_EQ(scratch.Get("out.wav").size(), 44u + 5000 * 4);
  EXPECT_EQ(kMaxWavDataBytes + 36, INT32_MAX);  // the header's signed 32-bit sizes
}

TEST(Mp3ImportRun, AFailedImportLeavesTheWorkingFileAsItWas) {
  Bytes mono_then_stereo = EncodeMp3(Tones(3000, 1, 44100), 1, 44100);
  Bytes rate_change = EncodeMp3(Tones(3000, 2, 44100), 2, 44100);
  const Bytes stereo = rate_change, at48 = EncodeMp3(Tones(3000, 2, 48000), 2, 48000);
  mono_then_stereo.insert(mono_then_stereo.end(), stereo.begin(), stereo.end());
  // Three frames of another format are a change, not noise.
  Bytes stray = Slice(stereo, 0, 2000), three = Slice(at48, 576, 4 * 576);
  rate_change.insert(rate_change.end(), at48.begin(), at48.end());
  stray.insert(stray.end(), three.begin(), three.end());
  stray.insert(stray.end(), stereo.begin() + 2000, stereo.end());
  const std::string kNoAudio = "audio/res.mp3 holds no MP3 audio";
  const std::string kRateChange =
      "audio/res.mp3 changes from 2 channels at 44100 Hz to 2 channels at 48000 Hz midway";
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
      {"a WAV file", true, BuildWav(WavLayout{}, Ramp(3000, 2)), kNoAudio},
      {"an export of nothing", true, EncodeMp3({}, 2, 44100), kNoAudio},
      {"mono, then stereo", true, mono_then_stereo,
       "audio/res.mp3 changes from 1 channels at 44100 Hz to 2 channels at 44100 Hz midway"},
      {"44.1 kHz, then 48 kHz", true, rate_change, kRateChange},
      {"three frames of 48 kHz amid", true, stray, kRateChange},
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
    EXPECT_FALSE(ws.Has("audio/res.wav") || ws.Has("audio/temp.wav"));
  }
}

// Import, insert a second of a second recording, export, import again: the
// exact edited recording comes back, as long as it was and not shifted.
TEST(Mp3ImportRun, SurvivesARoundTripThroughEditsAndExport) {
  Workspace ws;
  ws.Put("audio/res.mp3", Lame(Tones(66150, 2, 44100), 2, 44100));
  const Bytes second = Lame(Tones(50000, 2, 44100, 5000), 2, 44100);
  ws.Put("audio/res1.mp3", second);
  ASSERT_EQ(ws.Run("0 0 0 0 0").exit_code, 0);
  const Samples imported = SamplesOf(ws.Working()), inserted = SamplesOf(DecodeMp3(second));
  ASSERT_EQ(ws.Run("5 0 1 0.5 0").exit_code, 0);
  const Samples edited = SamplesOf(ws.Working());
  Samples expected(imported.begin(), imported.begin() + 44100);
  expected.insert(expected.end(), inserted.begin(), inserted.begin() + 88200);
  expected.insert(expected.end(), imported.begin() + 44100, imported.end());
  EXPECT_EQ(edited, expected);
  RunResult r = ws.Run("999 0 0 0 0");
  EXPECT_EQ(std::tie(r.exit_code, r.out, r.err), std::make_tuple(0, "", ""));
  const Bytes exported = ws.Get("audio/output.mp3");
  EXPECT_EQ(exported, EncodeMp3(edited, 2, 44100));
  ws.Put("audio/res.mp3", exported);
  ASSERT_EQ(ws.Run("0 0 0 0 0").exit_code, 0);
  EXPECT_EQ(SamplesOf(ws.Working()).size(), edited.size());
  EXPECT_GE(Compare(edited, SamplesOf(ws.Working()), 2).snr_db, kMinMp3SnrDb);
}

}  // namespace
}  // namespace tolva::testing
