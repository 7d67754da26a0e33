#include "driver.h"

#include <sys/file.h>

#include <chrono>
#include <thread>

#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

// Ten seconds of stereo ramp at a low rate: Seconds = 10, every frame distinct.
Bytes TenSeconds(int bits = 16) {
  WavLayout layout;
  layout.rate = 1000;
  layout.bits = bits;
  return BuildWav(layout, Ramp(10500, 2));
}

TEST(CommandParsing, ReadsFiveNumbersTheWayTheFrontEndWritesThem) {
  struct Case {
    const char* text;
    Command want;
  } cases[] = {
      {"2 1.0 2.0 0 0.5", {2, 1.0, 2.0, 0.0, 0.5}},
      {"  13\n0.5\n1.5\n\t3\n0 trailing words are ignored", {13, 0.5, 1.5, 3.0, 0.0}},
      {"2.5 0 1 0", {2, 0.5, 0.0, 1.0, 0.0}},  // "%d" stops at the point
      {"666 0 0 0 0", {666, 0, 0, 0, 0}},
      {"-7 1e-3 0x10 -0 2", {-7, 0.001, 16.0, 0.0, 2.0}},
      {"99999999999999999999 0 1 0 1", {INT64_MAX, 0, 1, 0, 1}},
  };
  for (const Case& c : cases) {
    Command got;
    ASSERT_TRUE(ParseCommand(c.text, &got).ok()) << c.text;
    EXPECT_EQ(got.op, c.want.op) << c.text;
    EXPECT_EQ(got.begin, c.want.begin) << c.text;
    EXPECT_EQ(got.end, c.want.end) << c.text;
    EXPECT_EQ(got.position, c.want.position) << c.text;
    EXPECT_EQ(got.amount, c.want.amount) << c.text;
  }
}

TEST(CommandParsing, TruncatesAmountTowardZeroWithinThirtyTwoBits) {
  EXPECT_EQ(TruncateToInt(2.9), 2);
  EXPECT_EQ(TruncateToInt(-1.5), -1);
  EXPECT_EQ(TruncateToInt(0.9), 0);
  EXPECT_EQ(TruncateToInt(1e300), INT32_MAX);
  EXPECT_EQ(TruncateToInt(-1e300), INT32_MIN);
}

TEST(Driver, VolumeEditTakesASnapshotAndChangesOnlyTheRange) {
  Workspace ws;
  Bytes original = TenSeconds();
  ws.PutWorking(original);
  RunResult r = ws.Run("2 1.0 2.0 0 0.5");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(ws.Has("audio/tolvaset.in"));
  EXPECT_FALSE(ws.Has("audio/temp.wav"));
  ASSERT_EQ(ws.Snapshots().size(), 1u);
  EXPECT_EQ(ws.Get("audio/oldversions/" + ws.Snapshots()[0]), original);
  Samples in = SamplesOf(original), out = SamplesOf(ws.Working());
  ASSERT_EQ(in.size(), out.size());
  for (size_t i = 0; i < in.size(); ++i) {
    bool in_range = i >= 2 * 1000 && i < 2 * 2000;
    ASSERT_EQ(out[i], in_range ? static_cast<int16_t>(in[i] / 2) : in[i]) << i;
  }
}

// Each undo goes back exactly one command, refused commands and unassigned
// codes included (their snapshot is the working file itself), and redo walks
// forward again until an edit starts a new branch.
TEST(History, UndoGoesBackOneCommandAndRedoForwardAgain) {
  const std::string nothing_to_redo = "tolva: refused: there is nothing to redo\n";
  const std::vector<std::vector<std::string>> sequences = {
      {"2 0 1 0 0.5", "3 1 3 0 0", "4 0 2 0 0"},
      {"2 0 1 0 0.5", "4 1 1 0 0", "3 1 3 0 0"},
      {"15 0 1 0 1", "2 0 1 0 2", "100 0 1 0 1", "2 -1 1 0 2"},
      {"13 0 1 5 0", "2 9 10.2 0 0.5", "14 0 1 5 0", "7 0 5 0 2"},
  };
  for (const std::vector<std::string>& commands : sequences) {
    SCOPED_TRACE(commands[1]);
    Workspace ws;
    ws.PutWorking(TenSeconds());
    std::vector<Bytes> before;  // the working file before each command, then after the last
    for (const std::string& command : commands) {
      before.push_back(ws.Working());
      ASSERT_EQ(ws.Run(command).exit_code, 0);
    }
    before.push_back(ws.Working());
    for (size_t i = commands.size(); i-- > 0;) {
      EXPECT_EQ(ws.Run("666 0 0 0 0").err, "");
      EXPECT_EQ(ws.Working(), before[i]) << i;
      EXPECT_EQ(ws.Snapshots().size(), i);
    }
    EXPECT_EQ(ws.Run("666 0 0 0 0").err, "tolva: refused: there is no snapshot to undo to\n");
    for (size_t i = 1; i < before.size(); ++i) {
      EXPECT_EQ(ws.Run("667 0 0 0 0").err, "");
      EXPECT_EQ(ws.Working(), before[i]) << i;
      EXPECT_EQ(ws.Snapshots().size(), i);
    }
    EXPECT_EQ(ws.Run("667 0 0 0 0").err, nothing_to_redo);
    ws.Run("666 0 0 0 0");
    ws.Run("4 1 1 0 0");  // refused: the redo step stays
    EXPECT_EQ(ws.Run("667 0 0 0 0").err, "");
    EXPECT_EQ(ws.Working(), before.back());
    ws.Run("666 0 0 0 0");
    ws.Run("2 0 1 0 3");  // a new branch
    EXPECT_EQ(ws.Run("667 0 0 0 0").err, nothing_to_redo);
  }
}

// Every command below is deleted after reading and exits with status 0; what
// it leaves is its message, its snapshot (editing op codes only) and, for the
// accepted ranges, the edited audio.
TEST(Driver, CommandFilesOpCodesAndRangeChecks) {
  const std::string refused = "tolva: refused: ";
  const std::string bad_number = refused + "the command holds a number that is not finite\n";
  const std::string too_few = refused + "the command file holds fewer than five numbers\n";
  const std::string no_op = refused + "the command file does not start with an op code\n";
  struct Case {
    const char* text;
    std::string err;  // the whole message, or its start when it ends in ':'
    size_t snapshots;
    bool edited;
  } cases[] = {
      {"", no_op, 0, false},
      {"junk", no_op, 0, false},
      {"2 1.0", too_few, 0, false},
      {"2 1.0 2.0 0", too_few, 0, false},
      {"2 nan 2 0 1", bad_number, 0, false},
      {"2 0 inf 0 1", bad_number, 0, false},
      {"2 0 1 0 1e999", bad_number, 0, false},
      {"666 0 0 -infinity 0", bad_number, 0, false},
      // Op codes outside the table; unused editing codes take their snapshot.
      {"-1 0 1 0 1", refused + "op code -1 does nothing\n", 0, false},
      {"101 0 1 0 1", refused + "op code 101 does nothing\n", 0, false},
      {"665 0 1 0 1", refused + "op code 665 does nothing\n", 0, false},
      {"667 0 1 0 1", refused + "there is nothing to redo\n", 0, false},
      {"998 0 1 0 1", refused + "op code 998 does nothing\n", 0, false},
      {"2147483650 0 1 0 1", refused + "op code 2147483650 does nothing\n", 0, false},
      {"15 0 1 0 1", refused + "op code 15 does nothing\n", 1, false},
      {"100 0 1 0 1", refused + "op code 100 does nothing\n", 1, false},
      // Range checks come after the snapshot; the end is checked against the
      // whole seconds only when position is 0.
      {"2 1 1 0 0.5", refused + "the range [1, 1) is empty\n", 1, false},
      {"2 -0.5 1 0 0.5", refused + "the range begins before the audio\n", 1, false},
      {"2 9 10.2 0 0.5", refused + "the range ends at 10.2 s, after the 10 whole seconds", 1,
       false},
      {"2 0 10 0 0.5", "", 1, true},
      {"2 9 10.2 1 0.5", "", 1, true},
      {"2 0 1e300 3 0.5", "", 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Workspace ws;
    const Bytes original = TenSeconds();
    ws.PutWorking(original);
    RunResult r = ws.Run(c.text);
    EXPECT_EQ(r.exit_code, 0);
    if (c.err.empty() || c.err.back() == '\n') {
      EXPECT_EQ(r.err, c.err);
    } else {
      EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    }
    EXPECT_FALSE(ws.Has("audio/tolvaset.in"));
    EXPECT_EQ(ws.Working() != original, c.edited);
    EXPECT_EQ(ws.Working().size(), original.size());
    EXPECT_EQ(ws.Snapshots().size(), c.snapshots);
  }
}

TEST(Driver, UnusableWorkingFilesStopTheEditBeforeAnyChange) {
  Bytes eight_bit = TenSeconds();
  eight_bit[34] = 8;
  Bytes short_data = TenSeconds();
  short_data.resize(short_data.size() - 100);
  Bytes not_wav(200, 'x');
  struct Case {
    const char* name;
    const Bytes* working;
    const char* message_start;
  } cases[] = {
      {"8-bit", &eight_bit, "tolva: audio/output.wav cannot be edited: 8-bit samples"},
      {"data past the end", &short_data,
       "tolva: audio/output.wav cannot be edited: the data chunk"},
      {"not a WAV", &not_wav, "tolva: audio/output.wav is not a WAV file"},
      {"missing", nullptr, "tolva: there is no audio/output.wav"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Workspace ws;
    if (c.working) ws.PutWorking(*c.working);
    RunResult r = ws.Run("2 0 1 5 0.5");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err.rfind(c.message_start, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
    if (c.working) {
      EXPECT_EQ(ws.Working(), *c.working);
    }
    EXPECT_FALSE(ws.Has("audio/temp.wav"));
  }
}

TEST(Driver, WithoutACommandFileNothingHappens) {
  Workspace ws;
  Bytes original = TenSeconds();
  ws.PutWorking(original);
  RunResult r = ws.RunBinary();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(ws.AudioFiles(), std::vector<std::string>{"output.wav"});
}

TEST(Driver, ListenStartsTheDesktopOpenerOnTheWorkingFile) {
  Workspace ws;
  ws.PutWorking(TenSeconds());
  std::filesystem::create_directory("bin");
  const std::string log = (ws.root() / "opened").string();
  ws.Put("bin/xdg-open", [&] {
    std::string script =
        "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + log + ".tmp && mv " + log + ".tmp " + log + "\n";
    return Bytes(script.begin(), script.end());
  }());
  std::filesystem::permissions("bin/xdg-open", std::filesystem::perms::owner_all);
  RunOptions options;
  options.path_prefix = (ws.root() / "bin").string();
  RunResult r = ws.Run("1 0 0 0 0", options);
  EXPECT_EQ(r.exit_code, 0);
  for (int i = 0; i < 200 && !std::filesystem::exists(log); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(std::filesystem::exists(log));
  EXPECT_EQ(ws.Get("opened"), (Bytes{'a', 'u', 'd', 'i', 'o', '/', 'o', 'u', 't', 'p', 'u', 't',
                                     '.', 'w', 'a', 'v', '\n'}));
  EXPECT_TRUE(ws.Snapshots().empty());

  std::filesystem::remove("audio/output.wav");
  r = ws.Run("1 0 0 0 0", options);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "tolva: there is no audio/output.wav to open\n");
}

TEST(CrashSafety, AFullDiskLeavesTheWorkingFileWhole) {
  Workspace ws;
  Bytes original = TenSeconds();
  ws.PutWorking(original);
  RunOptions full;
  full.file_size_limit = 4096;  // the new version cannot be written past 4 KiB
  RunResult r = ws.Run("2 1 2 0 0.5", full);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err.rfind("tolva: cannot write audio/temp.wav: File too large", 0), 0u) << r.err;
  EXPECT_EQ(ws.Working(), original);
  EXPECT_FALSE(ws.Has("audio/temp.wav"));
}

TEST(CrashSafety, AKilledRunLeavesTheWorkingFileWholeAndTheNextRunWorks) {
  Workspace ws;
  Bytes original = TenSeconds();
  ws.PutWorking(original);
  RunOptions killed;
  killed.file_size_limit = 4096;
  killed.ignore_sigxfsz = false;  // the kernel kills the run in the middle of its write
  RunResult r = ws.Run("2 1 2 0 0.5", killed);
  EXPECT_EQ(r.signal, SIGXFSZ);
  EXPECT_EQ(ws.Working(), original);
  EXPECT_TRUE(ws.Has("audio/temp.wav"));  // the torn scratch file, never the working file
  // Any run with a command removes what killed runs left, links without their targets.
  ws.Put("keep.me", Bytes{1});
  std::filesystem::create_symlink(ws.root() / "keep.me", "audio/temp.mp3");
  for (const char* name : {"audio/res.wav", "audio/res1.wav"}) ws.Put(name, Bytes{2});
  r = ws.Run("4 1 1 0 0");
  EXPECT_EQ(ws.AudioFiles(), (std::vector<std::string>{"oldversions", "output.wav"}));
  EXPECT_EQ(ws.Get("keep.me"), Bytes{1});
  r = ws.Run("2 1 2 0 0.5");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(ws.Working(), original);
}

TEST(CrashSafety, ARunWaitsForTheRunHoldingTheWorkspace) {
  Workspace ws;
  const Bytes original = TenSeconds();
  ws.PutWorking(original);
  int held = open("audio", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  ws.Put("audio/tolvaset.in", Bytes{'2', ' ', '0', ' ', '1', ' ', '0', ' ', '2'});
  pid_t run = ws.Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(ws.Has("audio/tolvaset.in"));
  EXPECT_EQ(ws.Working(), original);
  close(held);
  EXPECT_EQ(ws.Wait(run).exit_code, 0);
  EXPECT_FALSE(ws.Has("audio/tolvaset.in"));
  EXPECT_NE(ws.Working(), original);
}

// Once the MP3 is in place, the history goes as it is: links are removed, not
// followed, and folders with their contents.
TEST(Driver, ExportClearsTheHistoryAsItFindsIt) {
  Workspace ws;
  WavLayout layout;
  layout.rate = 8000;
  ws.PutWorking(BuildWav(layout, Ramp(8000, 2)));
  for (const char* command : {"2 0 1 0 0.5", "2 0 1 0 0.5", "666 0 0 0 0"}) ws.Run(command);
  ASSERT_EQ(ws.Snapshots("audio/oldversions/redo").size(), 1u);
  std::filesystem::create_symlink("gone", "audio/oldversions/output_2030_1_1_8_0_0.wav");
  RunResult r = ws.Run("999 0 0 0 0");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(ws.AudioFiles(), std::vector<std::string>{"output.mp3"});
}

}  // namespace
}  // namespace tolva::testing
