// Ops 5 and 10 end to end: a second recording given as audio/res1.mp3 (made by
// the project's own export), decoded, brought to the working file's rate and
// channel count, inserted or mixed; through the real binary.

#include <map>

#include "driver.h"
#include "effects.h"
#include "mp3_tools.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

const WavLayout kImported = {2, 44100};           // the 44-byte header of an import
const WavLayout kExtended = {1, 48000, 1, true};  // an extra fmt word and a fact chunk

// The MP3 of a recording, made once per format for the whole suite.
const Bytes& Mp3Of(int rate, int channels) {
  static std::map<std::pair<int, int>, Bytes> made;
  Bytes& mp3 = made[{rate, channels}];
  if (mp3.empty()) {
    mp3 = EncodeMp3(Tones(static_cast<int64_t>(rate * 2.6), channels, rate, 12000), channels, rate);
  }
  return mp3;
}

const std::vector<std::string> kAfterRun = {"oldversions", "output.wav", "res1.mp3"};

// The working file after the second recording, decoded by another decoder, is
// converted as a file first and then inserted or mixed in process.
Bytes InTwoSteps(const Bytes& working_wav, const Bytes& mp3, const std::string& command) {
  Command c;
  EXPECT_TRUE(ParseCommand(command, &c).ok());
  int channels = 0, rate = 0;
  const Samples decoded = DecodeMp3(mp3, &channels, &rate);
  Workspace ws;
  ws.PutWorking(working_wav);
  ws.Put("audio/res1.wav", BuildWav({.channels = channels, .rate = rate}, decoded));
  RIFF working{}, second{};
  EXPECT_TRUE(GetInfo(working, kWorkingWav) && GetInfo(second, kSecondSourceWav));
  if (rate != working.SampleRate) {
    EXPECT_TRUE(
        (rate < working.SampleRate ? RaiseSample : LowerSample)(second, working.SampleRate).ok());
  }
  EXPECT_TRUE((c.op == 10 ? Combine : Merge)(working, second, c.position, c.begin, c.end).ok());
  return ws.Working();
}

// Into the stereo 44100 file: raising with c 2 and c 1 from mono, the same
// rate, lowering, raising more than twice. Into the mono 48000 file: c 2, c 11
// and the same rate from stereo, exactly twice, three times. A stale
// audio/res1.wav of an interrupted run is never used.
TEST(SecondSourceRun, InsertsAndMixesMp3SourcesOfSeveralRatesIntoBothLayouts) {
  const std::pair<int, int> sources[] = {
      {32000, 1}, {44100, 2}, {48000, 2}, {24000, 1}, {16000, 2}};
  // Insert mid-file, insert at 0, mix that runs past the end of the working file.
  const char* commands[] = {"5 0.25 1.75 1.5 0", "5 1.0 2.0 0 0", "10 0.0001 1.90007 2.0 0"};
  for (const WavLayout& layout : {kImported, kExtended}) {
    SCOPED_TRACE(::testing::Message() << "working file " << layout.rate << " Hz");
    const Bytes working_wav =
        BuildWav(layout, Ramp(static_cast<int64_t>(layout.rate * 2.5) + 3, layout.channels));
    for (const auto& [rate, channels] : sources) {
      SCOPED_TRACE(::testing::Message() << rate << " Hz, " << channels << " channels");
      for (const char* command : commands) {
        SCOPED_TRACE(command);
        Workspace ws;
        ws.PutWorking(working_wav);
        ws.Put("audio/res1.mp3", Mp3Of(rate, channels));
        ws.Put("audio/res1.wav", working_wav);
        RunResult r = ws.Run(command);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(ws.Working() == InTwoSteps(working_wav, Mp3Of(rate, channels), command));
        EXPECT_EQ(ws.AudioFiles(), kAfterRun);
      }
    }
  }
}

// Refused ranges and missing or unusable MP3s leave the working file and
// remove the decoded second source.
TEST(SecondSourceRun, RefusesRangesOutsideEitherFileAndFailsWithoutUsableMp3) {
  const Bytes working_wav = BuildWav(kImported, Ramp(44100 * 2 + 10, 2));
  const Bytes junk(5000, 0x42);
  const struct {
    const char* command;
    const Bytes* mp3;
    int exit_code;
    const char* why;
  } cases[] = {
      {"5 1.0 3.0 0.5 0", &Mp3Of(44100, 2), 0,
       "refused: the range ends at 3 s, after the 2 whole seconds of audio/res1.mp3"},
      {"10 0.0 1.0 -0.5 0", &Mp3Of(44100, 2), 0, "refused: the position lies before the audio"},
      {"5 0.0 1.0 2.5 0", &Mp3Of(44100, 2), 0,
       "refused: the position 2.5 s lies after the 2 whole seconds of audio"},
      {"10 0.0 2.1 0 0", &Mp3Of(44100, 2), 0,
       "refused: the range ends at 2.1 s, after the 2 whole seconds of audio"},
      {"10 0.0 1.0 0.5 0", nullptr, 1, "there is no audio/res1.mp3"},
      {"10 0.0 1.0 0.5 0", &junk, 1, "audio/res1.mp3 holds no MP3 audio"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    Workspace ws;
    ws.PutWorking(working_wav);
    if (c.mp3) ws.Put("audio/res1.mp3", *c.mp3);
    RunResult r = ws.Run(c.command);
    EXPECT_EQ(r.exit_code, c.exit_code);
    EXPECT_EQ(r.err, std::string("tolva: ") + c.why + "\n");
    EXPECT_EQ(ws.Working(), working_wav);
    const std::vector<std::string> without_mp3 = {"oldversions", "output.wav"};
    EXPECT_EQ(ws.AudioFiles(), c.mp3 ? kAfterRun : without_mp3);
    EXPECT_EQ(ws.Snapshots().size(), 1u);
  }
}

}  // namespace
}  // namespace tolva::testing
