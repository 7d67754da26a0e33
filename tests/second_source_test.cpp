// Ops 5 and 10 end to end: a second recording given as audio/res1.mp3 (made by
// the project's own export), decoded, brought to the working file's rate and
// channel count, inserted or mixed; through the real binary.

#include <cmath>
#include <map>

#include "mp3_tools.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

int64_t Floor(double v) {
  return static_cast<int64_t>(std::floor(v));
}

// The second source at the working file's rate, written out from the rule:
// per whole second, frames c, 2c, ..., D × c (from 1, c = old / D) twice when
// raising, left out when lowering; raising more than twice writes frame j of
// a second floor((j + 1) × new / old) − floor(j × new / old) times.
Samples AtRate(const Samples& in, int channels, int from, int to) {
  if (from == to) return in;
  const int64_t d = std::abs(to - from), c = from / d;
  const int64_t seconds = static_cast<int64_t>(in.size()) / channels / from;
  Samples out;
  for (int64_t s = 0; s < seconds; ++s) {
    for (int64_t j = 1; j <= from; ++j) {
      int64_t times;
      if (c == 0) {
        times = j * to / from - (j - 1) * to / from;
      } else {
        const bool selected = j % c == 0 && j <= c * d;
        times = to > from ? 1 + selected : 1 - selected;
      }
      const Samples frame = FrameAt(in, channels, s * from + j - 1);
      for (; times > 0; --times) out.insert(out.end(), frame.begin(), frame.end());
    }
  }
  return out;
}

Samples ToChannels(const Samples& in, int from, int to) {
  if (from == to) return in;
  Samples out;
  for (size_t f = 0; f < in.size() / from; ++f) {
    if (to == 2) {
      out.insert(out.end(), {in[f], in[f]});
    } else {
      out.push_back(static_cast<int16_t>((in[2 * f] + in[2 * f + 1]) / 2));
    }
  }
  return out;
}

struct WorkingFile {
  const char* name;
  WavLayout layout;
};

WorkingFile Imported() {
  WavLayout l;
  l.channels = 2;
  l.rate = 44100;
  return {"44-byte header, stereo 44100", l};
}
WorkingFile Extended() {
  WavLayout l;
  l.channels = 1;
  l.rate = 48000;
  l.extra_fmt_words = 1;
  l.fact = true;
  return {"extra fmt word and fact chunk, mono 48000", l};
}

// The MP3 of a recording, made once per format for the whole suite.
const Bytes& Mp3Of(int rate, int channels) {
  static std::map<std::pair<int, int>, Bytes> made;
  Bytes& mp3 = made[{rate, channels}];
  if (mp3.empty()) {
    mp3 = EncodeMp3(Tones(static_cast<int64_t>(rate * 2.6), channels, rate, 12000), channels, rate);
  }
  return mp3;
}

struct OpCommand {
  int op;
  double begin, end, position;
};

// Merge or mix on sample vectors: P = floor(rate × position), start
// floor(rate × begin), N = floor((end − begin) × rate), limited to the files.
Samples Expected(const Samples& work, const Samples& second, int channels, int rate,
                 const OpCommand& c, int64_t* inserted) {
  const int64_t frames = static_cast<int64_t>(work.size()) / channels;
  const int64_t second_frames = static_cast<int64_t>(second.size()) / channels;
  const int64_t at = std::min(frames, Floor(rate * c.position));
  const int64_t first = std::min(second_frames, Floor(rate * c.begin));
  int64_t count = std::min(second_frames - first, Floor((c.end - c.begin) * rate));
  Samples out;
  if (c.op == 5) {
    out.assign(work.begin(), work.begin() + at * channels);
    out.insert(out.end(), second.begin() + first * channels,
               second.begin() + (first + count) * channels);
    out.insert(out.end(), work.begin() + at * channels, work.end());
  } else {
    count = std::min(count, frames - at);
    out = work;
    for (int64_t i = 0; i < count * channels; ++i) {
      out[at * channels + i] = static_cast<int16_t>(
          std::trunc(0.5 * work[at * channels + i] + 0.5 * second[first * channels + i]));
    }
  }
  *inserted = c.op == 5 ? count : 0;
  return out;
}

std::string CommandText(const OpCommand& c) {
  char text[128];
  std::snprintf(text, sizeof text, "%d %.17g %.17g %.17g 0\n", c.op, c.begin, c.end, c.position);
  return text;
}

struct Mp3Source {
  int rate, channels;
};

const Mp3Source kSources[] = {{32000, 1}, {44100, 2}, {48000, 2}, {48000, 1},
                              {22050, 2}, {24000, 1}, {16000, 2}};

TEST(SecondSourceRun, InsertsAndMixesMp3SourcesOfEveryRateIntoBothLayouts) {
  const OpCommand commands[] = {
      {5, 0.25, 1.75, 1.5},        // insert mid-file
      {5, 1.0, 2.0, 0.0},          // insert at 0
      {10, 0.5, 1.9, 2.0},         // mix that runs past the end of the working file
      {10, 0.0001, 1.00007, 0.3},  // fractional times
  };
  for (const WorkingFile& w : {Imported(), Extended()}) {
    SCOPED_TRACE(w.name);
    const int wc = w.layout.channels, wr = w.layout.rate;
    const Samples work = Ramp(static_cast<int64_t>(wr * 2.5) + 3, wc);
    const Bytes working_wav = BuildWav(w.layout, work);
    for (const Mp3Source& src : kSources) {
      SCOPED_TRACE(::testing::Message() << src.rate << " Hz, " << src.channels << " channels");
      int dc = 0, dr = 0;
      const Bytes& mp3 = Mp3Of(src.rate, src.channels);
      const Samples decoded = DecodeMp3(mp3, &dc, &dr);
      ASSERT_EQ(dr, src.rate);
      const Samples second = ToChannels(AtRate(decoded, dc, dr, wr), dc, wc);
      for (const OpCommand& c : commands) {
        SCOPED_TRACE(CommandText(c));
        Workspace ws;
        ws.PutWorking(working_wav);
        ws.Put("audio/res1.mp3", mp3);
        RunResult r = ws.Run(CommandText(c));
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        int64_t inserted = 0;
        const Samples want = Expected(work, second, wc, wr, c, &inserted);
        RIFF header = HeaderOf(working_wav);
        header.ChunkSize += static_cast<int32_t>(inserted * 2 * wc);
        header.DataSize += static_cast<int32_t>(inserted * 2 * wc);
        if (header.HasFact) header.FactData += static_cast<int32_t>(inserted);
        Bytes want_wav = HeaderImage(header);
        for (int16_t s : want) PutLE(want_wav, static_cast<uint16_t>(s), 2);
        const Bytes got = ws.Working();
        EXPECT_EQ(got.size(), want_wav.size());
        EXPECT_TRUE(got == want_wav) << "the result differs from the expected bytes";
        EXPECT_EQ(ws.AudioFiles(),
                  (std::vector<std::string>{"oldversions", "output.wav", "res1.mp3"}));
      }
    }
  }
}

TEST(SecondSourceRun, RefusesRangesOutsideEitherFileAndRemovesTheDecodedSource) {
  const WorkingFile w = Imported();
  const Bytes working_wav = BuildWav(w.layout, Ramp(44100 * 2 + 10, 2));
  struct Case {
    const char* name;
    std::string command;
    const char* why;
  } cases[] = {
      {"end past the second source", "5 1.0 3.0 0.5 0",
       "tolva: refused: the range ends at 3 s, after the 2 whole seconds of audio/res1.mp3\n"},
      {"negative position", "10 0.0 1.0 -0.5 0",
       "tolva: refused: the position lies before the audio\n"},
      {"position past the working file", "5 0.0 1.0 2.5 0",
       "tolva: refused: the position 2.5 s lies after the 2 whole seconds of audio\n"},
      {"end past the working file with position 0", "10 0.0 2.1 0 0", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Workspace ws;
    ws.PutWorking(working_wav);
    ws.Put("audio/res1.mp3", Mp3Of(44100, 2));
    RunResult r = ws.Run(c.command);
    EXPECT_EQ(r.exit_code, 0);
    if (c.why) {
      EXPECT_EQ(r.err, c.why);
    } else {
      EXPECT_EQ(r.err.rfind("tolva: refused: ", 0), 0u) << r.err;
    }
    EXPECT_EQ(ws.Working(), working_wav);
    EXPECT_EQ(ws.AudioFiles(), (std::vector<std::string>{"oldversions", "output.wav", "res1.mp3"}));
    EXPECT_EQ(ws.Snapshots().size(), 1u);
  }
}

TEST(SecondSourceRun, FailsWithoutUsableMp3AndLeavesTheWorkingFile) {
  const WorkingFile w = Imported();
  const Bytes working_wav = BuildWav(w.layout, Ramp(44100 * 2 + 10, 2));
  for (bool present : {false, true}) {
    SCOPED_TRACE(present ? "junk MP3" : "no MP3");
    Workspace ws;
    ws.PutWorking(working_wav);
    std::vector<std::string> files = {"oldversions", "output.wav"};
    if (present) {
      ws.Put("audio/res1.mp3", Bytes(5000, 0x42));
      files.push_back("res1.mp3");
    }
    RunResult r = ws.Run("10 0.0 1.0 0.5 0");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err.rfind("tolva: ", 0), 0u);
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1);
    EXPECT_EQ(ws.Working(), working_wav);
    EXPECT_EQ(ws.AudioFiles(), files);
  }
}

// A stale second source of an earlier, interrupted run is never mixed in.
TEST(SecondSourceRun, DecodesAFreshSecondSourceOverAStaleOne) {
  const WorkingFile w = Imported();
  const Samples work = Ramp(44100 * 2 + 10, 2);
  const Bytes working_wav = BuildWav(w.layout, work);
  Workspace ws;
  ws.PutWorking(working_wav);
  ws.Put("audio/res1.mp3", Mp3Of(44100, 2));
  ws.Put("audio/res1.wav", working_wav);
  RunResult r = ws.Run("10 0.0 1.0 0.5 0");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  int dc = 0, dr = 0;
  const Samples decoded = DecodeMp3(Mp3Of(44100, 2), &dc, &dr);
  int64_t inserted = 0;
  EXPECT_EQ(SamplesOf(ws.Working()),
            Expected(work, decoded, 2, 44100, {10, 0.0, 1.0, 0.5}, &inserted));
  EXPECT_FALSE(ws.Has("audio/res1.wav"));
}

}  // namespace
}  // namespace tolva::testing
