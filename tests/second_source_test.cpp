// Ops 5 and 10 through the real binary: audio/res1.mp3 (made by our own
// export) decoded, brought to the working file's rate and channels, inserted or
// mixed.

#include <map>

#include "driver.h"
#include "effects.h"
#include "mp3_tools.h"

namespace tolva::testing {
namespace {

const Bytes& Mp3Of(int rate, int channels) {
  static std::map<std::pair<int, int>, Bytes> made;  // once per format for the suite
  Bytes& mp3 = made[{rate, channels}];
  if (mp3.empty()) mp3 = EncodeMp3(Tones(rate * 13 / 5, channels, rate, 12000), channels, rate);
  return mp3;
}

// The command carried out in process on the recording decoded by another
// decoder and converted as a whole file first.
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

// Into stereo 44100 (the import's header): raising with c 2 and c 1 from mono,
// the same rate, lowering, raising more than twice. Into mono 48000 with an
// extra fmt word and a fact chunk: c 2, c 11 and the same rate from stereo,
// exactly twice, three times. A stale audio/res1.wav is never used.
TEST(SecondSourceRun, InsertsAndMixesMp3SourcesOfSeveralRatesIntoBothLayouts) {
  const std::pair<int, int> sources[] = {
      {32000, 1}, {44100, 2}, {48000, 2}, {24000, 1}, {16000, 2}};
  // Insert mid-file, insert at 0, mix that runs past the end of the working file.
  const char* commands[] = {"5 0.25 1.75 1.5 0", "5 1.0 2.0 0 0", "10 0.0001 1.90007 2.0 0"};
  for (const WavLayout& layout : {WavLayout{2, 44100}, WavLayout{1, 48000, 1, true}}) {
    const Bytes working_wav = BuildWav(layout, Ramp(layout.rate * 5 / 2 + 3, layout.channels));
    for (const auto& [rate, channels] : sources) {
      for (const char* command : commands) {
        SCOPED_TRACE(::testing::Message()
                     << layout.rate << " Hz working file, " << rate << " Hz source, " << command);
        Workspace ws;
        ws.PutWorking(working_wav);
        ws.Put("audio/res1.mp3", Mp3Of(rate, channels));
        ws.Put("audio/res1.wav", working_wav);
        const RunResult r = ws.Run(command);
        EXPECT_EQ(std::tie(r.exit_code, r.err), std::make_tuple(0, ""));
        EXPECT_TRUE(ws.Working() == InTwoSteps(working_wav, Mp3Of(rate, channels), command));
        EXPECT_EQ(ws.AudioFiles(),
                  (std::vector<std::string>{"oldversions", "output.wav", "res1.mp3"}));
      }
    }
  }
}

// Refused ranges and missing or unusable MP3s leave the working file and
// remove the decoded second source; the snapshot stays.
TEST(SecondSourceRun, RefusesRangesOutsideEitherFileAndFailsWithoutUsableMp3) {
  const Bytes working_wav = BuildWav({}, Ramp(44100 * 2 + 10, 2));
  const Bytes junk(5000, 0x42), none;
  const struct {
    const char* command;
    const Bytes& mp3;
    int exit_code;
    const char* why;
  } cases[] = {
      {"5 1.0 3.0 0.5 0", Mp3Of(44100, 2), 0,
       "refused: the range ends at 3 s, after the 2 whole seconds of audio/res1.mp3"},
      {"10 0.0 1.0 -0.5 0", Mp3Of(44100, 2), 0, "refused: the position lies before the audio"},
      {"5 0.0 1.0 2.5 0", Mp3Of(44100, 2), 0,
       "refused: the position 2.5 s lies after the 2 whole seconds of audio"},
      {"10 0.0 2.1 0 0", Mp3Of(44100, 2), 0,
       "refused: the range ends at 2.1 s, after the 2 whole seconds of audio"},
      {"10 0.0 1.0 0.5 0", none, 1, "there is no audio/res1.mp3"},
      {"10 0.0 1.0 0.5 0", junk, 1, "audio/res1.mp3 holds no MP3 audio"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    Workspace ws;
    ws.PutWorking(working_wav);
    if (!c.mp3.empty()) ws.Put("audio/res1.mp3", c.mp3);
    const RunResult r = ws.Run(c.command);
    EXPECT_EQ(r.exit_code, c.exit_code);
    EXPECT_EQ(r.err, std::string("tolva: ") + c.why + "\n");
    EXPECT_EQ(ws.Working(), working_wav);
    EXPECT_EQ(ws.AudioFiles().size(), c.mp3.empty() ? 2u : 3u);  // no res1.wav
    EXPECT_EQ(ws.Snapshots().size(), 1u);
  }
}

}  // namespace
}  // namespace tolva::testing
