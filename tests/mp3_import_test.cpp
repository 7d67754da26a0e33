#include "mp3_tools.h"

namespace tolva::testing {
namespace {

// The real binary, as a front end runs it: op 0 installs exactly the recording
// lame encoded, not shifted: the frames mpg123 -w gives.
TEST(Mp3ImportRun, GivesBackExactlyTheRecordingLameEncoded) {
  for (auto [rate, channels] :
       {std::pair{44100, 1}, {44100, 2}, {32000, 1}, {32000, 2}, {22050, 1}, {22050, 2}}) {
    SCOPED_TRACE(std::to_string(rate) + " Hz, " + std::to_string(channels) + " channel(s)");
    Workspace ws;
    ws.PutWorking(BuildWav(WavLayout{}, Ramp(100, 2)));
    const Samples original = Tones(rate * 3 / 4 + 11, channels, rate);
    const Bytes mp3 =
        Encode({"lame", "--quiet", "-b", "128", "in.wav", "out.mp3"}, original, channels, rate);
    ws.Put("audio/res.mp3", mp3);
    RunResult r = ws.Run("0 0 0 0 0");
    EXPECT_EQ(std::tie(r.exit_code, r.out, r.err), std::make_tuple(0, "", ""));
    EXPECT_EQ(ws.Working(), DecodeMp3(mp3));
    EXPECT_GE(SnrDb(original, SamplesOf(ws.Working())), kMinMp3SnrDb);
    EXPECT_EQ(ws.AudioFiles(), (std::vector<std::string>{"oldversions", "output.wav", "res.mp3"}));
    // lame's tag CRC, an independent check of the one the export writes.
    const size_t crc_at = ParseFrames(mp3)[0].TagCrcOffset();
    EXPECT_EQ(Crc16(mp3.data(), crc_at), BigEndian(mp3, crc_at, 2));
  }
}

// Damaged streams without an information frame import every whole frame, or
// fail and leave the working file as it was.
TEST(Mp3ImportRun, DamagedInputsImportTheirWholeFramesOrNothing) {
  const Bytes with_info = EncodeMp3(Tones(20000, 2, 44100), 2, 44100);
  const Bytes mp3 = Slice(with_info, ParseFrames(with_info)[1].offset, with_info.size());
  const Bytes at48 = Slice(EncodeMp3(Tones(5000, 2, 48000), 2, 48000), 576, 4 * 576);
  const std::vector<Mp3Frame> frames = ParseFrames(mp3);
  const std::string kNoAudio = "holds no MP3 audio", kChange =
                                                         "changes from 2 channels at 44100 "
                                                         "Hz to 2 channels at 48000 Hz midway";
  const struct {
    const char* name;
    Bytes mp3;
    std::string failure = "";     // or empty
    int64_t frames_lost = 0;      // whole frames the damage costs at the end
    int64_t resynced_frame = -1;  // the frame after junk
  } cases[] = {
      {"ID3v2 tag in front", Spliced(mp3, 0, {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 2, 0xFF, 0xFB})},
      // This junk holds a stray header that passes for a frame at 32 kHz.
      {"junk between frames", Spliced(mp3, frames[5].offset, Junk(3000, 1)), "", 0, 5},
      {"two frames of another format in junk",
       Spliced(mp3, frames[7].offset, Spliced(Slice(at48, 0, 2 * 576), 0, Junk(700, 3))), "", 0, 7},
      {"three of them, a change", Spliced(mp3, frames[7].offset, at48), kChange},
      {"last frame cut in half", Slice(mp3, 0, mp3.size() - frames.back().length / 2), "", 1},
      {"empty", {}, kNoAudio},
      {"random bytes", Junk(65536, 99), kNoAudio},
      {"a WAV file", BuildWav(WavLayout{}, Ramp(3000, 2)), kNoAudio},
      {"an export of nothing", EncodeMp3({}, 2, 44100), kNoAudio},
      {"44.1 kHz, then 48 kHz", Spliced(at48, 0, mp3), kChange},
  };
  const Samples clean = SamplesOf(DecodeMp3(mp3));
  const Bytes working = BuildWav(WavLayout{}, Ramp(1000, 2));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Workspace ws;
    ws.PutWorking(working);
    ws.Put("audio/res.mp3", c.mp3);
    RunResult r = ws.Run("0 0 0 0 0");
    EXPECT_EQ(std::tie(r.exit_code, r.err),
              std::make_tuple(c.failure.empty() ? 0 : 1,
                              c.failure.empty() ? "" : "tolva: audio/res.mp3 " + c.failure + "\n"));
    EXPECT_TRUE(c.failure.empty() || ws.Working() == working);
    if (!c.failure.empty()) continue;
    const int64_t kept = (static_cast<int64_t>(frames.size()) - c.frames_lost) * 1152 * 2;
    Samples got = SamplesOf(ws.Working()), want(clean.begin(), clean.begin() + kept);
    ASSERT_EQ(got.size(), want.size());
    // libmpg123 starts the frame after junk without the overlap of the one before.
    for (int64_t i = c.resynced_frame * 2304; i >= 0 && i < (c.resynced_frame + 1) * 2304; ++i)
      got[i] = want[i] = 0;
    EXPECT_EQ(got, want);
  }
  Workspace ws;
  EXPECT_EQ(ws.Run("0 0 0 0 0").err, "tolva: there is no audio/res.mp3\n");
}

TEST(Mp3Import, FailsWhenTheSamplesWouldNotFitTheHeader) {
  Workspace scratch;
  scratch.Put("in.mp3", EncodeMp3(Tones(5000, 2, 44100), 2, 44100));
  Status s = DecodeMp3ToWav("in.mp3", "out.wav", "out.part", 5000 * 4 - 1);
  EXPECT_EQ(s.message(), "in.mp3 decodes to more audio than a WAV file can hold");
  EXPECT_FALSE(scratch.Has("out.wav") || scratch.Has("out.part"));
  ASSERT_TRUE(DecodeMp3ToWav("in.mp3", "out.wav", "out.part", 5000 * 4).ok());
  EXPECT_EQ(scratch.Get("out.wav").size(), 44u + 5000 * 4);
}

}  // namespace
}  // namespace tolva::testing
