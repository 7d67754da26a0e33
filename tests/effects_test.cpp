#include "effects.h"

#include <climits>
#include <cmath>
#include <tuple>

#include "driver.h"
#include "second_source.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

struct Op {
  int op;
  double begin, end, x;
};
std::ostream& operator<<(std::ostream& o, const Op& op) {
  return o << op.op << " " << op.begin << " " << op.end << " " << op.x;
}

class EffectsTest : public EffectTest {
 protected:
  // Runs `op` of the dispatch table as a command file would, x as position and amount.
  Samples Run(const Bytes& wav, const Op& op, bool refused = false) {
    const auto run = [&](RIFF& r) {
      Res = r;
      Status s = Status::Failed("no such op");
      for (const Operation& o : Operations())
        if (o.op == op.op) s = o.run({op.op, op.begin, op.end, op.x, op.x});
      r = Res;
      return s;
    };
    return Apply(wav, run, refused);
  }
  void OpenSecond(const WavLayout& layout, const Samples& samples, int rate, int channels) {
    ws_.Put("audio/res1.wav", BuildWav(layout, samples));
    RIFF r{};
    ASSERT_TRUE(GetInfo(r, kSecondSourceWav));
    ASSERT_TRUE(second_.Open("audio/res1.wav", r, rate, channels).ok());
  }
  SecondSource second_;
};

// Stereo, 10 frames per second, 30 frames, a fact chunk, a trailing half frame.
// Ops 3 (reverse), 4 (cut) and move's cut take the frames from floor(10 × begin)
// up to floor(10 × end); 7, 8 and 13 count floor((end − begin) × 10) frames, so
// where the two differ a move loses a frame. 7 keeps the last frame of each
// group of x, 8 writes each frame x times. All clamped to the audio.
TEST_P(EffectsTest, PlaceTheFramesOfTheRange) {
  const std::pair<Op, Frames> cases[] = {
      {{3, 1.0, 2.5, 0}, Join({Span(0, 10), Span(24, 9), Span(25, 30)})},
      {{3, 0.15, 0.34, 0}, Join({{0, 2, 1}, Span(3, 30)})},
      {{3, 0.0, 3.45, 0}, Span(29, -1)},
      {{3, 3.5, 4.0, 0}, Span(0, 30)},
      {{4, 1.0, 2.5, 0}, Join({Span(0, 10), Span(25, 30)})},
      {{4, 0.15, 0.34, 0}, Join({{0}, Span(3, 30)})},
      {{4, 0.0, 3.45, 0}, {}},
      {{7, 0.2, 1.2, 4}, Join({Span(0, 2), {5, 9, 11}, Span(12, 30)})},
      {{7, 0.2, 1.2, 5000}, Join({Span(0, 2), {11}, Span(12, 30)})},
      {{7, 2.5, 9.0, 2.9}, Join({Span(0, 25), {26, 28, 29}})},
      {{7, 0.0, 3.0, 1}, Span(0, 30)},
      {{8, 0.2, 0.5, 3}, Join({{0, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4}, Span(5, 30)})},
      {{8, 0.15, 0.34, 2}, Join({{0, 1, 1}, Span(2, 30)})},
      {{8, 2.5, 9.0, 2}, Join({Span(0, 25), {25, 25, 26, 26, 27, 27, 28, 28, 29, 29}})},
      {{13, 1.0, 2.0, 2.0}, Join({Span(0, 20), Span(10, 30)})},
      {{13, 0.15, 0.34, 0.55}, Join({Span(0, 5), {1}, Span(5, 30)})},
      {{13, 1.0, 2.0, 12.0}, Join({Span(0, 30), Span(10, 20)})},
      {{14, 1.0, 2.0, 2.5}, Join({Span(0, 10), Span(20, 25), Span(10, 20), Span(25, 30)})},
      {{14, 1.5, 2.5, 0.5}, Join({Span(0, 5), Span(15, 25), Span(5, 15), Span(25, 30)})},
      {{14, 1.0, 2.0, 30.0}, Join({Span(0, 10), Span(20, 30), Span(10, 20)})},
      {{14, 0.15, 0.34, 2.5}, Join({{0}, Span(3, 25), {1}, Span(25, 30)})},
      {{14, 0.15, 0.34, 0.05}, Join({{1, 0}, Span(3, 30)})},
      {{14, 1.0, 2.0, 1.0}, Span(0, 30)},
      {{14, 1.0, 2.0, NAN}, Span(0, 30)}};
  Samples in = Ramp(30, 2);
  in.push_back(0x5AA5);
  const Bytes wav = BuildWav({.channels = 2, .rate = 10, .fact = true}, in);
  for (const auto& [op, want] : cases) {
    SCOPED_TRACE(::testing::Message() << op);
    Samples frames = Pick(in, 2, want);
    frames.push_back(0x5AA5);
    EXPECT_EQ(Run(wav, op), frames);
  }
}

Samples Stereo(const Samples& mono) {
  Samples out;
  for (int16_t s : mono) out.insert(out.end(), {s, s});
  return out;
}

// On both channels. Volume (2) truncates toward zero and clips. Echo (9)
// halves [begin, end + x) and mixes in the range x s later, cut short at the
// end. Pitch (11) takes windows of rate / 25 frames (4 at 100, 5 at 125) while
// more than a window of the range is left: a pass writes s0..s3 as s1 s3 s1 s3,
// s0..s4 as s1 s3 s4 s2 s4. Op 12 raises by x >> 1 passes (at least one), then
// writes each frame x times.
TEST_P(EffectsTest, ChangeTheSamplesOfTheRange) {
  const Samples count = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const Samples loud = {20000, -20000, 3, -3, 32767, -32768, 1, -1, 0, 16384};
  const Samples echo = {0, 100, -3, 300, 400, 500, 600, 700, 800, 900, 1000, 1100};
  const Samples tens = {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21};
  const Samples clipped = {32767, -32768, 32767, -32768, 32767, -32768, 32767, -32768, 0, 32767};
  const std::tuple<int, Op, Samples, Samples> cases[] = {
      // rate, op, in, want
      {10, {2, 0.25, 0.75, -1}, count, {1, 2, -3, -4, -5, -6, -7, 8, 9, 10, 11, 12}},
      {10, {2, 0.01, 0.13, -1}, count, {-1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
      {10, {2, 0.15, 0.34, -1}, count, {1, -2, -3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
      {10, {2, 0.9, 5.0, -1}, count, {1, 2, 3, 4, 5, 6, 7, 8, 9, -10, -11, -12}},
      {10, {2, 0, 1, 2}, loud, {32767, -32768, 6, -6, 32767, -32768, 2, -2, 0, 32767}},
      {10, {2, 0, 1, 0.5}, loud, {10000, -10000, 1, -1, 16383, -16384, 0, 0, 0, 8192}},
      {10, {2, 0, 1, -1}, loud, {-20000, 20000, -3, 3, -32767, 32767, -1, 1, 0, -16384}},
      {10, {2, 0, 1, 1e12}, loud, clipped},
      {10, {4, 0, 5, 0}, count, {}},         // no audio left, and no trailing byte
      {10, {7, 0.3, 0.3, 2}, count, count},  // an empty range has no group to keep
      {10, {9, 0.2, 0.4, 0.2}, echo, {0, 100, -1, 150, 99, 200, 600, 700, 800, 900, 1000, 1100}},
      {10, {9, 0.2, 0.4, 0.0}, echo, {0, 100, -1, 150, 400, 500, 600, 700, 800, 900, 1000, 1100}},
      {10, {9, 0.2, 0.4, 100}, echo, {0, 100, -1, 150, 200, 250, 300, 350, 400, 450, 500, 550}},
      {10, {9, 0.5, 1.0, 0.5}, echo, {0, 100, -3, 300, 400, 250, 300, 350, 400, 450, 375, 425}},
      {100, {11, 0.01, 0.12, 1}, tens, {10, 12, 14, 12, 14, 16, 18, 16, 18, 19, 20, 21}},
      {100, {11, 0.01, 0.12, -3}, tens, {10, 12, 14, 12, 14, 16, 18, 16, 18, 19, 20, 21}},
      {100, {11, 0.01, 0.12, 2}, tens, {10, 14, 14, 14, 14, 18, 18, 18, 18, 19, 20, 21}},
      {100, {11, 0.01, 0.09, 1}, tens, {10, 12, 14, 12, 14, 15, 16, 17, 18, 19, 20, 21}},
      {100, {11, 0.0, 0.04, 1}, tens, tens},
      {100, {11, 0.04, 0.9, 1}, tens, {10, 11, 12, 13, 15, 17, 15, 17, 18, 19, 20, 21}},
      {125, {11, 0.008, 0.096, 1}, tens, {10, 12, 14, 15, 13, 15, 17, 19, 20, 18, 20, 21}},
      {125, {11, 0.008, 0.096, 2}, tens, {10, 14, 13, 15, 15, 15, 19, 18, 20, 20, 20, 21}},
      {125, {11, 0.008, 0.096, 3}, tens, {10, 13, 15, 15, 15, 15, 18, 20, 20, 20, 20, 21}},
      {125, {11, 0.008, 0.096, INT_MAX}, tens, {10, 15, 15, 15, 15, 15, 20, 20, 20, 20, 20, 21}},
      // The largest second the reversal takes, the lowest rate pitch takes.
      {100000, {3, 0, 0.0001, 0}, tens, {19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 20, 21}},
      {25, {11, 0, 0.4, 1}, tens, tens},
      {100, {12, 0.01, 0.09, 1}, tens, {10, 12, 14, 12, 14, 15, 16, 17, 18, 19, 20, 21}},
      {100, {12, 0.01, 0.09, 2}, tens, {10, 12, 12, 14, 14, 12, 12, 14, 14, 15,
                                        15, 16, 16, 17, 17, 18, 18, 19, 20, 21}},
      {100, {12, 0.01, 0.09, 3}, tens, {10, 12, 12, 12, 14, 14, 14, 12, 12, 12, 14, 14, 14, 15,
                                        15, 15, 16, 16, 16, 17, 17, 17, 18, 18, 18, 19, 20, 21}}};
  for (const auto& [rate, op, in, want] : cases) {
    SCOPED_TRACE(::testing::Message() << op);
    EXPECT_EQ(Run(BuildWav({.channels = 2, .rate = rate, .fact = true}, Stereo(in)), op),
              Stereo(want));
  }
  // Refused, changing nothing: a second that does not fit the reversal's buffer
  // of 100,000 frames, no 1/25 s window below 25 frames per second, speed
  // factors below 1, results past the 32-bit sizes, an echo before its range.
  const std::pair<int, Op> refused[] = {
      {100001, {3, 0, 0.0001, 0}}, {24, {11, 0, 0.4, 1}},      {24, {12, 0, 0.4, 2}},
      {10, {7, 0, 1, 0}},          {10, {7, 0, 1, -3}},        {10, {8, 0, 1, 0}},
      {10, {8, 0, 1, INT_MIN}},    {100, {12, 0, 1, 0}},       {10, {8, 0, 1, 2e8}},
      {100, {12, 0, 1, 1e8}},      {10, {9, 0.2, 0.4, -1e-9}}, {10, {9, 0.2, 0.4, NAN}}};
  for (const auto& [rate, op] : refused) {
    SCOPED_TRACE(::testing::Message() << op);
    Run(BuildWav({.channels = 2, .rate = rate, .fact = true}, Stereo(tens)), op, true);
  }
}

// Op 6 silences channel int(x) in floor((end − begin) × 10) frames from
// floor(10 × begin) (`first`, `count`); an index naming no channel does nothing.
TEST_P(EffectsTest, SilenceOneChannelOverTheRange) {
  const std::tuple<int, Op, int64_t, int64_t> cases[] = {
      // channels, op, first, count
      {2, {6, 0.2, 0.5, 0}, 2, 3},   {2, {6, 0.2, 0.5, 1.9}, 2, 3}, {1, {6, 0.0, 0.4, 0}, 0, 4},
      {2, {6, 0.15, 0.34, 1}, 1, 1}, {2, {6, 0.5, 9.0, 0}, 5, 7},   {2, {6, 1.5, 2.0, 0}, 12, 0},
      {1, {6, 0.0, 0.4, 1}, 0, 0},   {2, {6, 0.0, 0.4, -1}, 0, 0},  {2, {6, 0.0, 0.4, 2}, 0, 0}};
  for (const auto& [channels, op, first, count] : cases) {
    SCOPED_TRACE(::testing::Message() << channels << " channels, " << op);
    const Samples in = Ramp(12, channels);
    Samples want = in;
    for (int64_t f = first; f < first + count; ++f) want[f * channels + int(op.x)] = 0;
    EXPECT_EQ(Run(BuildWav({.channels = channels, .rate = 10, .fact = true}, in), op), want);
  }
}

// Stereo at 44100, 88,210 frames: the range's frames become `written`.
TEST_P(EffectsTest, SizesAfterAChangeOfLength) {
  const std::tuple<Op, int64_t, int64_t> cases[] = {
      {{7, 1.0, 2.0, 2}, 44100, 22050},  {{7, 1.0, 2.0, 3}, 44100, 14700},
      {{7, 1.0, 2.0, 4}, 44100, 11025},  {{8, 1.0, 2.0, 2}, 44100, 88200},
      {{8, 1.0, 2.0, 3}, 44100, 132300}, {{8, 0.0, 0.5, 2}, 22050, 44100},
      {{8, 1.0, 1e9, 2}, 44110, 88220},  // cut short to the 1.0002 s left
      {{7, 1.0, 1e9, 2}, 44110, 22055},  {{12, 0.5, 1.0, 4}, 22050, 88200},
      {{4, 1.0, 1.5, 0}, 22050, 0}};
  const Bytes wav = BuildWav({.fact = true}, Ramp(88210, 2));
  for (const auto& [op, range, written] : cases) {
    SCOPED_TRACE(::testing::Message() << op);
    EXPECT_EQ(static_cast<int64_t>(Run(wav, op).size()) / 2, 88210 - range + written);
  }
}

// Ten frames per second. floor((end − begin) × 10) frames from the second
// source's floor(10 × begin) are inserted (Merge) or mixed (Combine: (w + s) / 2
// toward zero, never clipping) at the frame of the position, limited to the
// audio there is. Another channel count is converted: mono doubled, stereo
// averaged toward zero.
TEST_P(EffectsTest, InsertsOrMixesTheSecondSourceRangeWithinTheHeadersSizes) {
  const Samples w = {1, 2, 3, 4, 5, 6}, z(12, 0);
  const Samples h = {0, 100, 200, 300, 400, 500, 600, 700, 800, 900, 1000, 1100};
  // mix, position, begin, end, channels and samples of the working file, of the second, want
  const std::tuple<bool, double, double, double, int, Samples, int, Samples, Samples> cases[] = {
      {false, 0.0, 0.5, 1.25, 1, w, 1, h, {500, 600, 700, 800, 900, 1000, 1100, 1, 2, 3, 4, 5, 6}},
      {false, 0.4, 0.15, 0.34, 1, w, 1, h, {1, 2, 3, 4, 100, 5, 6}},
      {false, 0.6, 1.0, 2.0, 1, w, 1, h, {1, 2, 3, 4, 5, 6, 1000, 1100}},
      {false, 9.0, 0.0, 0.2, 1, w, 1, h, {1, 2, 3, 4, 5, 6, 0, 100}},
      {true, 0.3, 0.2, 0.5, 1, z, 1, h, {0, 0, 0, 100, 150, 200, 0, 0, 0, 0, 0, 0}},
      {true, 1.0, 0.0, 0.5, 1, z, 1, h, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 50}},
      {true, 0.0, 0.15, 0.34, 1, z, 1, h, {50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {true, 0.0, 0.0, 0.4, 1, {1000, -1001, 1, -1}, 1, {0, 0, 0, 0}, {500, -500, 0, 0}},
      {true, 0.0, 0.0, 0.2, 1, {32767, -32768}, 1, {32767, -32768}, {32767, -32768}},
      {true, 0.0, 0.0, 0.2, 1, {32767, -3}, 1, {-32768, 0}, {0, -1}},
      {false, 0.2, 0.0, 0.2, 1, {1, 2, 3, 4}, 2, {100, 201, -100, -201}, {1, 2, 150, -150, 3, 4}},
      {false, 0.1, 0.2, 0.4, 2, {1, -1, 2, -2}, 1, {5, 6, 7, 8}, {1, -1, 7, 7, 8, 8, 2, -2}}};
  for (const auto& [mix, at, begin, end, channels, working, second_channels, second, want] :
       cases) {
    SCOPED_TRACE(::testing::Message() << mix << " " << at << " " << begin << " " << end);
    OpenSecond({.channels = second_channels, .rate = 10}, second, 10, channels);
    const Bytes wav = BuildWav({.channels = channels, .rate = 10, .fact = true}, working);
    const auto run = [&](RIFF& r) {
      return mix ? CombineFrom(r, second_, at, begin, end) : MergeFrom(r, second_, at, begin, end);
    };
    fs::remove("audio/res1.wav");  // read through the open source
    EXPECT_EQ(Apply(wav, run), want);
  }
  // An insert past the header's 32-bit sizes is refused before the working
  // file or the record change.
  const WavLayout layout = {.channels = 2, .rate = 10};
  const Bytes wav = BuildWav(layout, Ramp(20, 2));
  OpenSecond(layout, Ramp(20, 2), 10, 2);
  RIFF record = Install(wav);
  record.DataSize = UINT32_MAX - 20;
  const RIFF given = record;
  EXPECT_TRUE(MergeFrom(record, second_, 0.0, 0.0, 1.0).refused());
  EXPECT_EQ(HeaderImage(record), HeaderImage(given));
  EXPECT_EQ(ws_.Working(), wav);
}

// The second source at another rate, as it is read: per whole second, D = |to − from|
// frames are repeated (raising) or dropped (lowering), those numbered c, 2c, ..., D × c from 1,
// c = from / D; raising more than twice (c = 0) spreads the repeats evenly. What follows the
// last whole second is not read.
TEST_P(EffectsTest, RepeatsOrDropsTheSelectedFramesOfEverySecond) {
  const std::tuple<int, int, int, int64_t, Frames> cases[] = {
      // from, to, channels, frames
      {4, 6, 2, 10, {0, 1, 1, 2, 3, 3, 4, 5, 5, 6, 7, 7}},
      {6, 4, 1, 9, {0, 1, 3, 4}},
      {10, 13, 2, 10, {0, 1, 2, 2, 3, 4, 5, 5, 6, 7, 8, 8, 9}},
      {10, 7, 1, 25, {0, 1, 3, 4, 6, 7, 9, 10, 11, 13, 14, 16, 17, 19}},
      {3, 10, 1, 6, {0, 0, 0, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5, 5, 5, 5}},
      {5, 8, 2, 4, {}},
      {2, 1, 1, 4, {0, 2}}};
  for (const auto& [from, to, channels, frames, kept] : cases) {
    SCOPED_TRACE(::testing::Message() << from << " to " << to);
    const Samples in = Ramp(frames, channels);
    OpenSecond({.channels = channels, .rate = from, .fact = true}, in, to, channels);
    ASSERT_EQ(second_.frames(), static_cast<int64_t>(kept.size()));
    Samples got(static_cast<size_t>(second_.frames() * channels));
    EXPECT_TRUE(second_.Read(got.data(), second_.frames()).ok());
    EXPECT_EQ(got, Pick(in, channels, kept));
    second_.Seek(1);  // and from any frame on
    if (kept.size() > 1) {
      got.assign(got.size() - channels, 0);
      EXPECT_TRUE(second_.Read(got.data(), second_.frames() - 1).ok());
      EXPECT_EQ(got, Pick(in, channels, Frames(kept.begin() + 1, kept.end())));
    }
  }
  // No rate at all is read from or to.
  ws_.Put("audio/res1.wav", BuildWav({.rate = 1000}, Ramp(1500, 2)));
  RIFF record{};
  ASSERT_TRUE(GetInfo(record, kSecondSourceWav));
  EXPECT_FALSE(SecondSource().Open("audio/res1.wav", record, 0, 2).ok());
  record.SampleRate = 0;
  EXPECT_FALSE(SecondSource().Open("audio/res1.wav", record, 1000, 2).ok());
}

TOLVA_ALL_ENGINE_SETTINGS(EffectsTest);

}  // namespace
}  // namespace tolva::testing
