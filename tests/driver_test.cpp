#include "driver.h"

#include <sys/file.h>

#include <chrono>
#include <thread>

#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

TEST(CommandParsing, ReadsFiveNumbersTheWayTheFrontEndWritesThem) {
  auto fields = [](const Command& c) {
    return std::make_tuple(c.op, c.begin, c.end, c.position, c.amount);
  };
  const std::pair<const char*, Command> cases[] = {
      {"  13\n0.5\n1.5\n\t3\n0 trailing words are ignored", {13, 0.5, 1.5, 3.0, 0.0}},
      {"2.5 0 1 0", {2, 0.5, 0.0, 1.0, 0.0}},  // "%d" stops at the point
      {"-7 1e-3 0x10 -0 2", {-7, 0.001, 16.0, 0.0, 2.0}},
      {"99999999999999999999 0 1 0 1", {INT64_MAX, 0, 1, 0, 1}},
  };
  for (const auto& [text, want] : cases) {
    Command got;
    ASSERT_TRUE(ParseCommand(text, &got).ok()) << text;
    EXPECT_EQ(fields(got), fields(want)) << text;
  }
  EXPECT_EQ(TruncateToInt(2.9), 2);
  EXPECT_EQ(TruncateToInt(-1.5), -1);
  EXPECT_EQ(TruncateToInt(-1e300), INT32_MIN);
}

// Every command below is deleted after reading and exits with status 0; what
// it leaves is its message, its snapshot (editing op codes only) and, for the
// accepted ranges, the edited audio.
TEST(Driver, CommandFilesOpCodesAndRangeChecks) {
  const std::string refused = "tolva: refused: ";
  const std::string bad_number = refused + "the command holds a number that is not finite\n";
  const std::string does_nothing = " does nothing\n";
  struct Case {
    const char* text;
    std::string err;
    size_t snapshots;
    bool edited;
  } cases[] = {
      {"junk", refused + "the command file does not start with an op code\n", 0, false},
      {"2 1.0 2.0 0", refused + "the command file holds fewer than five numbers\n", 0, false},
      {"2 nan 2 0 1", bad_number, 0, false},
      // Op codes outside the table; unused editing codes take their snapshot.
      {"-1 0 1 0 1", refused + "op code -1" + does_nothing, 0, false},
      {"101 0 1 0 1", refused + "op code 101" + does_nothing, 0, false},
      {"667 0 1 0 1", refused + "there is nothing to redo\n", 0, false},
      {"2147483650 0 1 0 1", refused + "op code 2147483650" + does_nothing, 0, false},
      {"15 0 1 0 1", refused + "op code 15" + does_nothing, 1, false},
      {"100 0 1 0 1", refused + "op code 100" + does_nothing, 1, false},
      // Range checks come after the snapshot; the end is checked against the
      // whole seconds only when position is 0.
      {"2 1 1 0 0.5", refused + "the range [1, 1) is empty\n", 1, false},
      {"2 -0.5 1 0 0.5", refused + "the range begins before the audio\n", 1, false},
      {"2 9 10.2 0 0.5",
       refused + "the range ends at 10.2 s, after the 10 whole seconds of audio\n", 1, false},
      {"2 0 10 0 0.5", "", 1, true},
      {"2 0 1e300 3 0.5", "", 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Workspace ws;
    const Bytes original = TenSeconds();
    ws.PutWorking(original);
    RunResult r = ws.Run(c.text);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, c.err);
    EXPECT_FALSE(ws.Has("audio/tolvaset.in"));
    EXPECT_EQ(ws.Working() != original, c.edited);
    EXPECT_EQ(ws.Working().size(), original.size());
    EXPECT_EQ(ws.Snapshots().size(), c.snapshots);
  }
}

// Each undo goes back exactly one command, refused commands and unassigned
// codes included (their snapshot is the working file itself), and redo walks
// forward again until an edit starts a new branch. The export then clears the
// history as it finds it: links removed, not followed, folders with contents.
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
    std::filesystem::create_symlink("gone", "audio/oldversions/output_2030_1_1_8_0_0.wav");
    EXPECT_EQ(ws.Run("999 0 0 0 0").err, "");
    EXPECT_EQ(ws.AudioFiles(), std::vector<std::string>{"output.mp3"});
  }
}

TEST(Driver, AnUnusableOrMissingWorkingFileStopsTheEditBeforeAnyChange) {
  Workspace ws;
  Bytes eight_bit = TenSeconds();
  eight_bit[34] = 8;
  ws.PutWorking(eight_bit);
  RunResult r = ws.Run("2 0 1 5 0.5");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "tolva: audio/output.wav cannot be edited: 8-bit samples (16-bit expected)\n");
  EXPECT_EQ(ws.Working(), eight_bit);
  std::filesystem::remove("audio/output.wav");
  EXPECT_EQ(ws.Run("2 0 1 5 0.5").err, "tolva: there is no audio/output.wav\n");
  EXPECT_EQ(ws.RunBinary().err, "");  // without a command file nothing happens
  EXPECT_EQ(ws.AudioFiles(), std::vector<std::string>{"oldversions"});
}

TEST(Driver, ListenStartsTheDesktopOpenerOnTheWorkingFile) {
  Workspace ws;
  ws.PutWorking(TenSeconds());
  std::filesystem::create_directory("bin");
  const std::string script = "#!/bin/sh\necho \"$@\" > opening && mv opening opened\n";
  ws.Put("bin/xdg-open", Bytes(script.begin(), script.end()));
  std::filesystem::permissions("bin/xdg-open", std::filesystem::perms::owner_all);
  RunOptions options;
  options.path_prefix = (ws.root() / "bin").string();
  EXPECT_EQ(ws.Run("1 0 0 0 0", options).exit_code, 0);
  for (int i = 0; i < 200 && !ws.Has("opened"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const std::string want = "audio/output.wav\n";
  EXPECT_EQ(ws.Get("opened"), Bytes(want.begin(), want.end()));
  std::filesystem::remove("audio/output.wav");
  EXPECT_EQ(ws.Run("1 0 0 0 0", options).err, "tolva: there is no audio/output.wav to open\n");
}

// A full disk fails the edit; a killed run leaves its scratch file, which the
// next run with a command removes (links at those names without their
// targets) before it works.
TEST(CrashSafety, AFullDiskOrAKillLeavesTheWorkingFileWholeAndTheNextRunWorks) {
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
  full.ignore_sigxfsz = false;  // the kernel kills the run in the middle of its write
  EXPECT_EQ(ws.Run("2 1 2 0 0.5", full).signal, SIGXFSZ);
  EXPECT_EQ(ws.Working(), original);
  EXPECT_TRUE(ws.Has("audio/temp.wav"));  // the torn scratch file, never the working file
  ws.Put("keep.me", Bytes{1});
  std::filesystem::create_symlink(ws.root() / "keep.me", "audio/temp.mp3");
  for (const char* name : {"audio/res.wav", "audio/res1.wav"}) ws.Put(name, Bytes{2});
  ws.Run("4 1 1 0 0");
  EXPECT_EQ(ws.AudioFiles(), (std::vector<std::string>{"oldversions", "output.wav"}));
  EXPECT_EQ(ws.Get("keep.me"), Bytes{1});
  EXPECT_EQ(ws.Run("2 1 2 0 0.5").exit_code, 0);
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
  EXPECT_TRUE(ws.Has("audio/tolvaset.in"));  // not even read yet
  EXPECT_EQ(ws.Working(), original);
  close(held);
  EXPECT_EQ(ws.Wait(run).exit_code, 0);
  EXPECT_NE(ws.Working(), original);
}

}  // namespace
}  // namespace tolva::testing
