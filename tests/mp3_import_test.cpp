#include "driver.h"
#include "effects.h"
#include "mp3_tools.h"

namespace tolva::testing {
namespace {

// The real binary, as a front end runs it: op 0 installs exactly the recording
// lame encoded, not shifted: the frames mpg123 -w gives.
TEST(Mp3ImportRun, GivesBackExactlyTheRecordingLameEncoded) {
  for (auto [rate, channels] :
       {std::pair{44100, 1}, {44100, 2}, {32000, 1}, {32000, 2}, {22050, 1}, {22050, 2}}) {
    SCOPED_TRACE(std::to_string(rate) + " Hz, " + std::to_string(channels) + " channel(s)");
    Workspace ws(BuildWav(WavLayout{}, Ramp(100, 2)));
    const Samples original = Tones(rate * 3 / 4 + 11, channels, rate);
    const Bytes mp3 = Converted(BuildWav({.channels = channels, .rate = rate}, original),
                                {"lame", "--quiet", "-b", "128", "in.wav", "out.mp3"});
    ws.Put("audio/res.mp3", mp3);
    RunResult r = ws.Run("0 0 0 0 0");
    EXPECT_EQ(std::tie(r.exit_code, r.out, r.err), std::make_tuple(0, "", ""));
    EXPECT_EQ(ws.Working(), DecodeMp3(mp3));
    EXPECT_GE(SnrDb(original, SamplesOf(ws.Working())), kMinMp3SnrDb);
    EXPECT_EQ(ws.AudioFiles(), (Strings{"oldversions", "output.wav", "res.mp3"}));
    // lame's tag CRC, an independent check of the one the export writes.
    const size_t crc_at = ParseFrames(mp3)[0].TagCrcOffset();
    EXPECT_EQ(Crc16(mp3.data(), crc_at), BigEndian(mp3, crc_at, 2));
  }
}

// Damaged streams without an information frame import every whole frame, or
// fail and leave the working file as it was.
TEST(Mp3ImportRun, DamagedOrOverlongInputsImportTheirWholeFramesOrNothing) {
  const Bytes with_info = EncodeMp3(Tones(20000, 2, 44100), 2, 44100);
  const Bytes mp3 = Slice(with_info, ParseFrames(with_info)[1].offset, with_info.size());
  const Bytes at48 = Slice(EncodeMp3(Tones(5000, 2, 48000), 2, 48000), 576, 4 * 576);
  const std::vector<Mp3Frame> frames = ParseFrames(mp3);
  const std::string kNoAudio = "holds no MP3 audio";
  const std::string kChange =
      "changes from 2 channels at 44100 Hz to 2 channels at 48000 Hz midway";
  const struct {
    const char* name;
    Bytes mp3;
    std::string failure = "";
    int64_t frames_lost = 0, resynced_frame = -1;  // at the end; the frame after junk
  } cases[] = {
      {"ID3v2 tag in front", Spliced(mp3, 0, {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 2, 0xFF, 0xFB})},
      // This junk holds a stray header that passes for a frame at 32 kHz.
      {"junk between frames", Spliced(mp3, frames[5].offset, Junk(3000, 1)), "", 0, 5},
      {"two frames of another format in junk",
       Spliced(mp3, frames[7].offset, Spliced(Slice(at48, 0, 2 * 576), 0, Junk(700, 3))), "", 0, 7},
      {"three of them, a change", Spliced(mp3, frames[7].offset, at48), kChange},
      {"last frame cut in half", Slice(mp3, 0, mp3.size() - frames.back().length / 2), "", 1},
      {"empty", {}, kNoAudio},
      {"a WAV file", BuildWav(WavLayout{}, Ramp(3000, 2)), kNoAudio},
      {"an export of nothing", EncodeMp3({}, 2, 44100), kNoAudio},
      {"44.1 kHz, then 48 kHz", Spliced(at48, 0, mp3), kChange}};
  const Samples clean = SamplesOf(DecodeMp3(mp3));
  const Bytes working = BuildWav(WavLayout{}, Ramp(1000, 2));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Workspace ws(working);
    ws.Put("audio/res.mp3", c.mp3);
    const RunResult r = ws.Run("0 0 0 0 0");
    const bool ok = c.failure.empty();
    EXPECT_EQ(std::tie(r.exit_code, r.err),
              std::make_tuple(ok ? 0 : 1, ok ? "" : "tolva: audio/res.mp3 " + c.failure + "\n"));
    EXPECT_TRUE(ok || ws.Working() == working);
    if (!ok) continue;
    // The export reads an MP3 as the audio the import makes of it.
    ASSERT_TRUE(EncodeMp3File("audio/res.mp3", "a.mp3", "p").ok());
    ASSERT_TRUE(EncodeMp3File("audio/output.wav", "b.mp3", "p").ok());
    EXPECT_EQ(ws.Get("a.mp3"), ws.Get("b.mp3"));
    const int64_t kept = (static_cast<int64_t>(frames.size()) - c.frames_lost) * 1152 * 2;
    Samples got = SamplesOf(ws.Working()), want(clean.begin(), clean.begin() + kept);
    ASSERT_EQ(got.size(), want.size());
    // libmpg123 starts the frame after junk without the overlap of the one before.
    for (int64_t i = c.resynced_frame * 2304; i >= 0 && i < (c.resynced_frame + 1) * 2304; ++i)
      got[i] = want[i] = 0;
    EXPECT_EQ(got, want);
  }
  Workspace scratch;
  EXPECT_EQ(scratch.Run("0 0 0 0 0").err, "tolva: there is no audio/res.mp3\n");
  // Refused before a byte is written: the information frame gives the length,
  // named in the message where a refusal midway could only say "more than".
  scratch.Put("in.mp3", EncodeMp3(Tones(5000, 2, 44100), 2, 44100));
  const Status refusal = DecodeMp3ToWav("in.mp3", "out.wav", "out.part", 5000 * 4 - 1);
  EXPECT_TRUE(refusal.refused());
  EXPECT_EQ(refusal.message(),
            "the result would hold 0 min of 44.1 kHz stereo; a WAV file holds at most 6 h 45 min");
  EXPECT_FALSE(scratch.Has("out.wav") || scratch.Has("out.part"));
  ASSERT_TRUE(DecodeMp3ToWav("in.mp3", "out.wav", "out.part", 5000 * 4).ok());
  EXPECT_EQ(scratch.Get("out.wav").size(), 44u + 5000 * 4);
}

// audio/res1.mp3 decoded as mpg123 does, at the working file's rate (twice it writes every
// frame twice, half keeps every other one), never a stale audio/res1.wav: its first second
// inserted into a second of silence at 0.5 s, or mixed in, halved, from 0.25 s on.
TEST(SecondSourceRun, InsertsAndMixesTheMp3AtTheWorkingFilesRate) {
  for (auto [to, from] : {std::pair{16000, 8000}, {16000, 32000}, {16000, 16000}, {24000, 8000}}) {
    const Bytes mp3 = EncodeMp3(Tones(from * 3 / 2, 1, from, 12000), 1, from);
    const Samples decoded = SamplesOf(DecodeMp3(mp3));
    const Bytes silence = BuildWav({.channels = 1, .rate = to}, Samples(to, 0));
    for (bool mix : {false, true}) {
      SCOPED_TRACE(::testing::Message() << from << " Hz into " << to << " Hz, mix " << mix);
      Samples want(mix ? to / 4 : to / 2, 0);
      for (int i = 0; i < (mix ? to * 3 / 4 : to); ++i)
        want.push_back(static_cast<int16_t>(decoded[i * from / to] / (mix ? 2 : 1)));
      if (!mix) want.resize(2 * to, 0);
      Workspace ws(silence);
      ws.Put("audio/res1.mp3", mp3);
      ws.Put("audio/res1.wav", silence);
      const RunResult r = ws.Run(mix ? "10 0 1 0.25 0" : "5 0 1 0.5 0");
      EXPECT_EQ(std::tie(r.exit_code, r.err), std::make_tuple(0, ""));
      EXPECT_EQ(SamplesOf(ws.Working()), want);
      EXPECT_EQ(ws.AudioFiles(), (Strings{"oldversions", "output.wav", "res1.mp3"}));
    }
  }
}

// Refused ranges and missing or unusable MP3s leave the working file and its
// snapshot, and remove the decoded second source.
TEST(SecondSourceRun, RefusesRangesOutsideEitherFileAndFailsWithoutUsableMp3) {
  const Bytes working_wav = BuildWav({}, Ramp(44100 * 2 + 10, 2));
  const Bytes two = EncodeMp3(Tones(44100 * 13 / 5, 2, 44100), 2, 44100), junk(5000, 0x42);
  const std::tuple<const char*, Bytes, int, std::string> cases[] = {
      {"5 1.0 3.0 0.5 0", two, 0,
       "the range ends at 3 s, after the 2 whole seconds of audio/res1.mp3"},
      {"10 0.0 1.0 -0.5 0", two, 0, "the position lies before the audio"},
      {"5 0.0 1.0 2.5 0", two, 0, "the position 2.5 s lies after the 2 whole seconds of audio"},
      {"10 0.0 2.1 0 0", two, 0, "the range ends at 2.1 s, after the 2 whole seconds of audio"},
      {"10 0.0 1.0 0.5 0", {}, 1, "there is no audio/res1.mp3"},
      {"10 0.0 1.0 0.5 0", junk, 1, "audio/res1.mp3 holds no MP3 audio"}};
  for (const auto& [command, mp3, exit_code, why] : cases) {
    SCOPED_TRACE(why);
    Workspace ws(working_wav);
    if (!mp3.empty()) ws.Put("audio/res1.mp3", mp3);
    const RunResult r = ws.Run(command);
    const std::string refused = exit_code == 0 ? "refused: " : "";
    EXPECT_EQ(std::tie(r.exit_code, r.err),
              std::tuple(exit_code, "tolva: " + refused + why + "\n"));
    EXPECT_EQ(ws.Working(), working_wav);
    EXPECT_EQ(ws.AudioFiles().size(), mp3.empty() ? 2u : 3u);  // no res1.wav
    EXPECT_EQ(ws.Snapshots().size(), 1u);
  }
}

}  // namespace
}  // namespace tolva::testing
