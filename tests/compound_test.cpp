#include <algorithm>
#include <cmath>

#include "effects.h"
#include "two_source_rules.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

// The chains of effects that repeat, move and echo are defined by, run one
// effect after another, with a byte copy of the working file as the second
// source. All take (record, position or delay, begin, end).
void CopyWorkingToSecond() {
  fs::copy_file("audio/output.wav", "audio/res1.wav", fs::copy_options::overwrite_existing);
}

Status RepeatByCallees(RIFF& r, double position, double begin, double end) {
  CopyWorkingToSecond();
  return Merge(r, r, position, begin, end);
}

Status TransferByCallees(RIFF& r, double position, double begin, double end) {
  if (!(begin > position || position > end)) return Status::Ok();
  const double target = begin > position ? position : (position - end) + begin;
  CopyWorkingToSecond();
  if (Status s = CutOff(r, begin, end); !s.ok()) return s;
  return Merge(r, r, target, begin, end);
}

Status EchoByCallees(RIFF& r, double amount, double begin, double end) {
  if (Status s = EditVoice(r, begin, end + amount, 0.5); !s.ok()) return s;
  CopyWorkingToSecond();
  return Combine(r, r, begin + amount, begin, end);
}

Status Echo(RIFF& r, double amount, double begin, double end) {
  return EnvironmentEffect(r, begin, end, amount);
}

using Effect = Status (*)(RIFF&, double, double, double);
struct Compound {
  const char* name;
  Effect one_pass, callees;
  bool echo;  // the first time is a delay, not a position
};
const Compound kCompounds[] = {{"repeat", Repeat, RepeatByCallees, false},
                               {"move", Transfer, TransferByCallees, false},
                               {"echo", Echo, EchoByCallees, true}};

struct Layout {
  const char* name;
  WavLayout wav;
  int trailing_bytes;  // after the last whole frame
  int64_t frames;
  size_t stride;  // every case (1), or every stride-th case
  bool large;     // spans several default blocks; run under the defaults only
};
const Layout kLayouts[] = {
    {"mono 100, 1 trailing byte", {1, 100}, 1, 350, 1, false},
    {"stereo 100, fact, 2 trailing bytes", {2, 100, 0, true}, 2, 333, 1, false},
    {"stereo 1000, extra fmt word", {2, 1000, 1}, 0, 3100, 7, false},
    {"stereo 44100, fact, 2 trailing bytes", {2, 44100, 0, true}, 2, 44100 * 3 / 2 + 11, 29, true},
};

Bytes LayoutWav(const Layout& l) {
  Samples samples = Ramp(l.frames, l.wav.channels);
  if (l.trailing_bytes > 0) samples.push_back(0x5AA5);
  Bytes wav = BuildWav(l.wav, samples, l.frames * 2 * l.wav.channels + l.trailing_bytes);
  if (l.trailing_bytes == 1) wav.pop_back();
  return wav;
}

// Whole and fractional times, times past the end, and pairs of them where
// floor((end − begin) × rate) and floor(rate × end) − floor(rate × begin)
// differ. Every stride is coprime to the positions per range.
const double kTimes[] = {0.0, 0.0015, 0.7, 1.0045, 2.0, 2.3337, 9.5};

bool RoundingsDiffer(int rate, double begin, double end) {
  return Floor((end - begin) * rate) != Floor(rate * end) - Floor(rate * begin);
}

class CompoundTest : public EffectTest {
 protected:
  // The one-pass effect gives the bytes and the header record of its chain of
  // effects, and leaves no second source or scratch copy behind.
  void ExpectSameAsChain(const Compound& compound, const Bytes& wav, double x, double b, double e) {
    SCOPED_TRACE(::testing::Message() << "x " << x << " b " << b << " e " << e);
    RIFF by_callees = Install(wav);
    ASSERT_TRUE(compound.callees(by_callees, x, b, e).ok());
    const Bytes want = ws_.Working();
    RIFF record = Install(wav);
    Status s = compound.one_pass(record, x, b, e);
    ASSERT_TRUE(s.ok()) << s.message();
    EXPECT_EQ(ws_.Working(), want);
    EXPECT_EQ(HeaderImage(record), HeaderImage(by_callees));
    EXPECT_EQ(record.DataOffset, by_callees.DataOffset);
    EXPECT_EQ(ws_.AudioFiles(), std::vector<std::string>{"output.wav"});
  }
};

TEST_P(CompoundTest, OnePassGivesTheBytesOfTheChainOfEffects) {
  const int64_t block = GetParam().block_frames;
  // The settings with the smallest blocks write a frame or a few per call.
  const size_t slow = block < 8 && GetParam().kernel_copy_min_bytes < 0 ? 5 : 1;
  for (const Compound& compound : kCompounds) {
    for (const Layout& l : kLayouts) {
      if (l.large && block != EngineOptions{}.block_frames) continue;
      SCOPED_TRACE(::testing::Message() << compound.name << ", " << l.name);
      const Bytes wav = LayoutWav(l);
      size_t n = 0;
      int differing = 0;
      for (double b : kTimes) {
        for (double e : kTimes) {
          if (!(b < e) || b > 3.5) continue;
          for (double x : compound.echo
                              ? std::vector<double>{0.0, 0.0015, 0.7, 40.0}
                              : std::vector<double>{0.0015, b, (b + e) / 2, e, e + 0.4567, 12.0}) {
            if (n++ % (l.stride * slow) != 0) continue;
            const bool moves = compound.one_pass != Transfer || x < b || x > e;
            differing += moves && RoundingsDiffer(l.wav.rate, b, e);
            ExpectSameAsChain(compound, wav, x, b, e);
          }
        }
      }
      if (l.stride * slow == 1) {
        EXPECT_GT(differing, 0);
      }
    }
  }
}

// Frames [from, to) of the stereo ramp the results below are built from.
Samples Frames(int64_t from, int64_t to) {
  const Samples in = Ramp(80, 2);
  return Samples(in.begin() + from * 2, in.begin() + to * 2);
}

Samples Join(std::initializer_list<Samples> parts) {
  Samples out;
  for (const Samples& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The ramp with frames [first, last) halved toward zero, then frames
// [mix_first, mix_last) averaged with the halved frames `delay` earlier.
Samples Echoed(int64_t first, int64_t last, int64_t mix_first, int64_t mix_last, int64_t delay) {
  Samples out = Frames(0, 80);
  for (int64_t i = first * 2; i < last * 2; ++i) out[i] = static_cast<int16_t>(out[i] / 2);
  const Samples halved = out;
  for (int64_t i = mix_first * 2; i < mix_last * 2; ++i) {
    out[i] = static_cast<int16_t>((halved[i] + halved[i - delay * 2]) / 2);
  }
  return out;
}

// The results written out frame by frame, at 10 frames per second. A move to
// a position inside its range is no move and a negative echo delay is refused:
// neither rewrites the working file.
TEST_P(CompoundTest, PlacesTheRangeAsExpected) {
  const double nan = std::nan("");
  const Samples in = Frames(0, 80);
  const struct {
    const char* name;
    Effect run;
    double x, begin, end;
    Samples want;
  } cases[] = {
      {"repeat at end", Repeat, 2.0, 1.0, 2.0, Join({Frames(0, 20), Frames(10, 80)})},
      {"repeat at begin", Repeat, 1.0, 1.0, 2.0, Join({Frames(0, 20), Frames(10, 80)})},
      {"move forward: 5.0 of [1, 2) inserts at 4.0 of the cut file", Transfer, 5.0, 1.0, 2.0,
       Join({Frames(0, 10), Frames(20, 50), Frames(10, 20), Frames(50, 80)})},
      {"move backward", Transfer, 1.5, 4.0, 6.0,
       Join({Frames(0, 15), Frames(40, 60), Frames(15, 40), Frames(60, 80)})},
      {"move past the end appends", Transfer, 30.0, 1.0, 2.0,
       Join({Frames(0, 10), Frames(20, 80), Frames(10, 20)})},
      {"move to begin", Transfer, 1.0, 1.0, 2.0, in},
      {"move inside", Transfer, 1.5, 1.0, 2.0, in},
      {"move to end", Transfer, 2.0, 1.0, 2.0, in},
      {"move to no number", Transfer, nan, 1.0, 2.0, in},
      {"echo 0.5 s later", Echo, 0.5, 1.0, 2.0, Echoed(10, 25, 15, 25, 5)},
      {"echo with delay 0 stays halved", Echo, 0.0, 1.0, 2.0, Echoed(10, 20, 0, 0, 0)},
      {"echo past the end halves to the end", Echo, 100.0, 1.0, 2.0, Echoed(10, 80, 0, 0, 0)},
      {"echo delay -0.5 refused", Echo, -0.5, 1.0, 2.0, in},
      {"echo delay -1e-9 refused", Echo, -1e-9, 1.0, 2.0, in},
      {"echo delay no number refused", Echo, nan, 1.0, 2.0, in},
  };
  WavLayout layout;
  layout.rate = 10;
  layout.fact = true;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RIFF record = Install(BuildWav(layout, in));
    const auto written = fs::last_write_time("audio/output.wav");
    const Status s = c.run(record, c.x, c.begin, c.end);
    const bool refused = c.run == Echo && !(c.x >= 0);
    EXPECT_EQ(s.refused(), refused) << s.message();
    EXPECT_EQ(s.ok(), !refused);
    EXPECT_EQ(SamplesOf(ws_.Working()), c.want);
    EXPECT_EQ(HeaderImage(HeaderOf(ws_.Working())), HeaderImage(record));
    EXPECT_EQ(record.FactData * 4, record.DataSize);
    EXPECT_EQ(record.DataSize, static_cast<int32_t>(c.want.size() * 2));
    if (c.want == in) {
      EXPECT_EQ(fs::last_write_time("audio/output.wav"), written);
    }
    EXPECT_EQ(ws_.AudioFiles(), std::vector<std::string>{"output.wav"});
  }
}

TOLVA_ALL_ENGINE_SETTINGS(CompoundTest);

}  // namespace
}  // namespace tolva::testing
