#include <algorithm>
#include <cmath>
#include <functional>

#include "effects.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

int64_t Floor(double v) {
  return static_cast<int64_t>(std::floor(v));
}

// The working file as its own second source: a byte copy as audio/res1.wav.
void CopyWorkingToSecond() {
  fs::copy_file("audio/output.wav", "audio/res1.wav", fs::copy_options::overwrite_existing);
}

// The chains of effects that repeat, move and echo are defined by, run one
// effect after another on the working file.
Status RepeatByCallees(RIFF& r, double position, double begin, double end) {
  CopyWorkingToSecond();
  return Merge(r, r, position, begin, end);
}

Status TransferByCallees(RIFF& r, double position, double begin, double end) {
  double target;
  if (begin > position) {
    target = position;
  } else if (position > end) {
    target = (position - end) + begin;
  } else {
    return Status::Ok();
  }
  CopyWorkingToSecond();
  if (Status s = CutOff(r, begin, end); !s.ok()) return s;
  return Merge(r, r, target, begin, end);
}

Status EchoByCallees(RIFF& r, double begin, double end, double amount) {
  if (Status s = EditVoice(r, begin, end + amount, 0.5); !s.ok()) return s;
  CopyWorkingToSecond();
  return Combine(r, r, begin + amount, begin, end);
}

struct Layout {
  const char* name;
  int rate;
  int channels;
  bool fact;
  int extra_fmt_words;
  bool trailing_bytes;  // a data chunk that ends in part of a frame
  int64_t frames;
  size_t stride;  // every case (1), or every stride-th case for the larger files
};

const Layout kLayouts[] = {
    {"mono 100", 100, 1, false, 0, false, 350, 1},
    {"stereo 100 with fact and trailing bytes", 100, 2, true, 0, true, 333, 1},
    {"stereo 1000 with extra fmt word", 1000, 2, false, 1, false, 3100, 5},
    {"stereo 8000 with trailing bytes", 8000, 2, false, 0, true, 8000 * 3 + 77, 17},
    {"mono 44100 with fact and trailing bytes", 44100, 1, true, 0, true, 44100 * 3 + 11, 23},
};

// A ramp WAV, optionally ending in two bytes that make no whole frame.
Bytes LayoutWav(const Layout& l) {
  WavLayout layout;
  layout.channels = l.channels;
  layout.rate = l.rate;
  layout.fact = l.fact;
  layout.extra_fmt_words = l.extra_fmt_words;
  Bytes wav = BuildWav(layout, Ramp(l.frames, l.channels));
  if (!l.trailing_bytes) return wav;
  RIFF header = HeaderOf(wav);
  const int extra = l.channels == 1 ? 1 : 2;
  for (int i = 0; i < extra; ++i) wav.push_back(static_cast<uint8_t>(0xA0 + i));
  header.DataSize += extra;
  header.ChunkSize += extra;
  std::vector<uint8_t> image = HeaderImage(header);
  std::copy(image.begin(), image.end(), wav.begin());
  return wav;
}

// Times (with every stride used below coprime to the 6 positions per range)
// where floor((end − begin) × rate) and floor(rate × end) − floor(rate ×
// begin) differ at some rates, whole and fractional times, times past the end.
const double kTimes[] = {0.0, 0.0015, 0.7, 1.0045, 2.0, 2.3337, 9.5};

struct Triple {
  double position, begin, end;
};

std::vector<Triple> Triples(size_t stride) {
  std::vector<Triple> out;
  size_t n = 0;
  for (double b : kTimes) {
    for (double e : kTimes) {
      if (!(b < e) || b > 3.5) continue;
      for (double p : {0.0015, b, (b + e) / 2, e, e + 0.4567, 12.0}) {
        if (n++ % stride == 0) out.push_back({p, b, e});
      }
    }
  }
  return out;
}

bool RoundingsDiffer(int rate, double begin, double end) {
  return Floor((end - begin) * rate) != Floor(rate * end) - Floor(rate * begin);
}

class CompoundTest : public EffectTest {
 protected:
  // The settings with the smallest blocks write a frame or a few per call; they
  // run a fifth of the cases, the others all of them.
  size_t Stride(const Layout& l) const {
    return l.stride * (GetParam().block_frames < 8 && GetParam().kernel_copy_min_bytes < 0 ? 5 : 1);
  }
  using Run = std::function<Status(RIFF&)>;
  // Runs `one_pass` and `callees` on the same working file; both must give
  // the same bytes, the same header record and leave no second source behind.
  void ExpectSameAsCallees(const Bytes& wav, const Run& one_pass, const Run& callees) {
    RIFF by_callees = Install(wav);
    ASSERT_TRUE(callees(by_callees).ok());
    const Bytes want = ws_.Working();
    RIFF record = Install(wav);
    Status s = one_pass(record);
    ASSERT_TRUE(s.ok()) << s.message();
    EXPECT_EQ(ws_.Working(), want);
    EXPECT_EQ(HeaderImage(record), HeaderImage(by_callees));
    EXPECT_EQ(record.DataOffset, by_callees.DataOffset);
    EXPECT_FALSE(ws_.Has("audio/res1.wav"));
    EXPECT_FALSE(ws_.Has("audio/temp.wav"));
  }
};

TEST_P(CompoundTest, RepeatGivesTheBytesOfMergingACopy) {
  for (const Layout& l : kLayouts) {
    SCOPED_TRACE(l.name);
    const Bytes wav = LayoutWav(l);
    int differing = 0;
    for (const Triple& t : Triples(Stride(l))) {
      SCOPED_TRACE(::testing::Message()
                   << "p " << t.position << " b " << t.begin << " e " << t.end);
      differing += RoundingsDiffer(l.rate, t.begin, t.end);
      ExpectSameAsCallees(
          wav, [&](RIFF& r) { return Repeat(r, t.position, t.begin, t.end); },
          [&](RIFF& r) { return RepeatByCallees(r, t.position, t.begin, t.end); });
    }
    if (Stride(l) == 1) {
      EXPECT_GT(differing, 0);
    }
  }
}

TEST_P(CompoundTest, TransferGivesTheBytesOfCuttingThenMerging) {
  for (const Layout& l : kLayouts) {
    SCOPED_TRACE(l.name);
    const Bytes wav = LayoutWav(l);
    int before = 0, after = 0, differing = 0;
    for (const Triple& t : Triples(Stride(l))) {
      SCOPED_TRACE(::testing::Message()
                   << "p " << t.position << " b " << t.begin << " e " << t.end);
      before += t.begin > t.position;
      after += t.position > t.end;
      differing += RoundingsDiffer(l.rate, t.begin, t.end) && t.begin > t.position;
      ExpectSameAsCallees(
          wav, [&](RIFF& r) { return Transfer(r, t.position, t.begin, t.end); },
          [&](RIFF& r) { return TransferByCallees(r, t.position, t.begin, t.end); });
    }
    if (Stride(l) <= 5) {
      EXPECT_GT(before, 0);
      EXPECT_GT(after, 0);
    }
    if (Stride(l) == 1) {
      EXPECT_GT(differing, 0);
    }
  }
}

TEST_P(CompoundTest, EchoGivesTheBytesOfHalvingThenMixing) {
  const double kDelays[] = {0.0, 0.0015, 0.7, 40.0};
  for (const Layout& l : kLayouts) {
    SCOPED_TRACE(l.name);
    const Bytes wav = LayoutWav(l);
    size_t n = 0;
    for (double b : kTimes) {
      for (double e : kTimes) {
        if (!(b < e) || b > 3.5) continue;
        for (double a : kDelays) {
          if (n++ % Stride(l) != 0) continue;
          SCOPED_TRACE(::testing::Message() << "b " << b << " e " << e << " delay " << a);
          ExpectSameAsCallees(
              wav, [&](RIFF& r) { return EnvironmentEffect(r, b, e, a); },
              [&](RIFF& r) { return EchoByCallees(r, b, e, a); });
        }
      }
    }
  }
}

// The results written out frame by frame.
TEST_P(CompoundTest, RepeatAndTransferPlaceTheRangeAsExpected) {
  WavLayout layout;
  layout.channels = 2;
  layout.rate = 10;
  const Samples in = Ramp(80, 2);
  auto frames = [&](int64_t from, int64_t to) {
    return Samples(in.begin() + from * 2, in.begin() + to * 2);
  };
  auto join = [](std::initializer_list<Samples> parts) {
    Samples out;
    for (const Samples& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  };
  struct Case {
    const char* name;
    std::function<Status(RIFF&)> run;
    Samples want;
  } cases[] = {
      {"repeat at end gives the range twice", [](RIFF& r) { return Repeat(r, 2.0, 1.0, 2.0); },
       join({frames(0, 20), frames(10, 20), frames(20, 80)})},
      {"repeat at begin gives the range twice", [](RIFF& r) { return Repeat(r, 1.0, 1.0, 2.0); },
       join({frames(0, 10), frames(10, 20), frames(10, 80)})},
      {"move forward: 5.0 of [1, 2) inserts at 4.0 of the cut file",
       [](RIFF& r) { return Transfer(r, 5.0, 1.0, 2.0); },
       join({frames(0, 10), frames(20, 50), frames(10, 20), frames(50, 80)})},
      {"move backward", [](RIFF& r) { return Transfer(r, 1.5, 4.0, 6.0); },
       join({frames(0, 15), frames(40, 60), frames(15, 40), frames(60, 80)})},
      {"move past the end appends", [](RIFF& r) { return Transfer(r, 30.0, 1.0, 2.0); },
       join({frames(0, 10), frames(20, 80), frames(10, 20)})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RIFF record = Install(BuildWav(layout, in));
    ASSERT_TRUE(c.run(record).ok());
    EXPECT_EQ(SamplesOf(ws_.Working()), c.want);
    EXPECT_EQ(record.DataSize, static_cast<int32_t>(c.want.size() * 2));
  }
}

TEST_P(CompoundTest, EchoHalvesAndMixesInTheDelayedRange) {
  WavLayout layout;
  layout.channels = 1;
  layout.rate = 10;
  Samples in(60);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<int16_t>(1000 + 100 * i);
  // [1.0, 2.0) echoed 0.5 s later: frames 10..24 halved, 15..24 mixed with 10..19.
  Samples want = in;
  for (int i = 10; i < 25; ++i) want[i] = static_cast<int16_t>(in[i] / 2);
  for (int i = 15; i < 25; ++i) want[i] = static_cast<int16_t>((in[i] / 2 + in[i - 5] / 2) / 2);
  RIFF record = Install(BuildWav(layout, in));
  ASSERT_TRUE(EnvironmentEffect(record, 1.0, 2.0, 0.5).ok());
  EXPECT_EQ(SamplesOf(ws_.Working()), want);

  // Delay 0: the halved range mixed with itself stays halved.
  want = in;
  for (int i = 10; i < 20; ++i) want[i] = static_cast<int16_t>(in[i] / 2);
  record = Install(BuildWav(layout, in));
  ASSERT_TRUE(EnvironmentEffect(record, 1.0, 2.0, 0.0).ok());
  EXPECT_EQ(SamplesOf(ws_.Working()), want);

  // A delay past the end halves to the end and mixes nothing.
  want = in;
  for (int i = 10; i < 60; ++i) want[i] = static_cast<int16_t>(in[i] / 2);
  record = Install(BuildWav(layout, in));
  ASSERT_TRUE(EnvironmentEffect(record, 1.0, 2.0, 100.0).ok());
  EXPECT_EQ(SamplesOf(ws_.Working()), want);
}

TEST_P(CompoundTest, TransferWithThePositionInsideTheRangeChangesNothing) {
  const Bytes wav = LayoutWav(kLayouts[1]);
  for (double position : {1.0, 1.5, 2.0, std::nan("")}) {
    SCOPED_TRACE(position);
    RIFF record = Install(wav);
    const RIFF before = record;
    const auto written = fs::last_write_time("audio/output.wav");
    ASSERT_TRUE(Transfer(record, position, 1.0, 2.0).ok());
    EXPECT_EQ(ws_.Working(), wav);
    EXPECT_EQ(fs::last_write_time("audio/output.wav"), written);
    EXPECT_EQ(HeaderImage(record), HeaderImage(before));
    EXPECT_EQ(ws_.AudioFiles(), std::vector<std::string>{"output.wav"});
  }
}

TEST_P(CompoundTest, EchoRefusesANegativeDelayBeforeTouchingAnything) {
  const Bytes wav = LayoutWav(kLayouts[0]);
  for (double delay : {-0.5, -1e-9, std::nan("")}) {
    RIFF record = Install(wav);
    EXPECT_TRUE(EnvironmentEffect(record, 1.0, 2.0, delay).refused());
    EXPECT_EQ(ws_.Working(), wav);
    EXPECT_EQ(ws_.AudioFiles(), std::vector<std::string>{"output.wav"});
  }
}

TOLVA_ALL_ENGINE_SETTINGS(CompoundTest);

}  // namespace
}  // namespace tolva::testing
