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
    Workspace ws;
    ws.PutWorking(BuildWav(WavLayout{}, Ramp(100, 2)));
    const Samples original = Tones(rate * 3 / 4 + 11, channels, rate);
    const Bytes mp3 =
        EncodeMp3(original, channels, rate, {"lame", "--quiet", "-b", "128", "in.wav", "out.mp3"});
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
TEST(Mp3ImportRun, DamagedInputsImportTheirWholeFramesOrNothing) {
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

// The command carried out in process on mpg123's decoding, converted first.
Bytes InTwoSteps(const Bytes& working_wav, const Bytes& mp3, const std::string& command) {
  Workspace ws;
  ws.PutWorking(working_wav);
  ws.Put("audio/res1.wav", DecodeMp3(mp3));
  Command c;
  RIFF w{}, second{};
  EXPECT_TRUE(ParseCommand(command, &c).ok() && GetInfo(w, kWorkingWav) &&
              GetInfo(second, kSecondSourceWav));
  const int from = second.SampleRate, to = w.SampleRate;
  EXPECT_TRUE(from == to || (from < to ? RaiseSample : LowerSample)(second, to).ok());
  EXPECT_TRUE((c.op == 10 ? Combine : Merge)(w, second, c.position, c.begin, c.end).ok());
  return ws.Working();
}

// Ops 5 and 10 through the real binary: audio/res1.mp3 decoded, brought to the
// working file's rate and channels, inserted or mixed. Into stereo 44100 (the
// import's header): raising with c 2 and c 1 from mono, the same rate,
// lowering, raising more than twice. Into mono 48000 with an extra fmt word and
// a fact chunk: c 2, c 11 and the same rate from stereo, exactly twice, three
// times. A stale audio/res1.wav is never used.
TEST(SecondSourceRun, InsertsAndMixesMp3SourcesOfSeveralRatesIntoBothLayouts) {
  const std::pair<int, int> sources[] = {
      {32000, 1}, {44100, 2}, {48000, 2}, {24000, 1}, {16000, 2}};
  // Insert mid-file, insert at 0, mix that runs past the end of the working file.
  const char* commands[] = {"5 0.25 1.75 1.5 0", "5 1.0 2.0 0 0", "10 0.0001 1.90007 2.0 0"};
  for (const auto& [rate, channels] : sources) {
    const Bytes mp3 = EncodeMp3(Tones(rate * 13 / 5, channels, rate, 12000), channels, rate);
    for (const WavLayout& layout : {WavLayout{2, 44100}, WavLayout{1, 48000, 1, true}}) {
      const Bytes working_wav = BuildWav(layout, Ramp(layout.rate * 5 / 2 + 3, layout.channels));
      for (const char* command : commands) {
        SCOPED_TRACE(::testing::Message()
                     << layout.rate << " Hz working file, " << rate << " Hz source, " << command);
        Workspace ws;
        ws.PutWorking(working_wav);
        ws.Put("audio/res1.mp3", mp3);
        ws.Put("audio/res1.wav", working_wav);
        const RunResult r = ws.Run(command);
        EXPECT_EQ(std::tie(r.exit_code, r.err), std::make_tuple(0, ""));
        EXPECT_TRUE(ws.Working() == InTwoSteps(working_wav, mp3, command));
        EXPECT_EQ(ws.AudioFiles(), (Strings{"oldversions", "output.wav", "res1.mp3"}));
      }
    }
  }
}

// Refused ranges and missing or unusable MP3s (command, MP3, exit status,
// message) leave the working file and remove the decoded second source; the
// snapshot stays.
TEST(SecondSourceRun, RefusesRangesOutsideEitherFileAndFailsWithoutUsableMp3) {
  const Bytes working_wav = BuildWav({}, Ramp(44100 * 2 + 10, 2));
  const Bytes two = EncodeMp3(Tones(44100 * 13 / 5, 2, 44100), 2, 44100), junk(5000, 0x42);
  const std::tuple<const char*, Bytes, int, std::string> cases[] = {
      {"5 1.0 3.0 0.5 0", two, 0,
       "refused: the range ends at 3 s, after the 2 whole seconds of audio/res1.mp3"},
      {"10 0.0 1.0 -0.5 0", two, 0, "refused: the position lies before the audio"},
      {"5 0.0 1.0 2.5 0", two, 0,
       "refused: the position 2.5 s lies after the 2 whole seconds of audio"},
      {"10 0.0 2.1 0 0", two, 0,
       "refused: the range ends at 2.1 s, after the 2 whole seconds of audio"},
      {"10 0.0 1.0 0.5 0", {}, 1, "there is no audio/res1.mp3"},
      {"10 0.0 1.0 0.5 0", junk, 1, "audio/res1.mp3 holds no MP3 audio"},
  };
  for (const auto& [command, mp3, exit_code, why] : cases) {
    SCOPED_TRACE(why);
    Workspace ws;
    ws.PutWorking(working_wav);
    if (!mp3.empty()) ws.Put("audio/res1.mp3", mp3);
    const RunResult r = ws.Run(command);
    EXPECT_EQ(std::tie(r.exit_code, r.err), std::make_tuple(exit_code, "tolva: " + why + "\n"));
    EXPECT_EQ(ws.Working(), working_wav);
    EXPECT_EQ(ws.AudioFiles().size(), mp3.empty() ? 2u : 3u);  // no res1.wav
    EXPECT_EQ(ws.Snapshots().size(), 1u);
  }
}

}  // namespace
}  // namespace tolva::testing
