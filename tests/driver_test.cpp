#include "driver.h"

#include <sys/file.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

TEST(Driver, CommandFilesOpCodesAndRangeChecks) {
  const std::pair<const char*, std::tuple<int64_t, double, double, double, double>> parsed[] = {
      {"  13\n0.5\n1.5\n\t3\n0 trailing words are ignored", {13, 0.5, 1.5, 3.0, 0.0}},
      {"2.5 0 1 0", {2, 0.5, 0.0, 1.0, 0.0}},  // "%d" stops at the point
      {"-7 1e-3 0x10 -0 2", {-7, 0.001, 16.0, 0.0, 2.0}},
      {"99999999999999999999 0 1 0 1", {INT64_MAX, 0, 1, 0, 1}}};
  for (const auto& [text, want] : parsed) {
    Command c;
    ASSERT_TRUE(ParseCommand(text, &c).ok()) << text;
    EXPECT_EQ(std::tie(c.op, c.begin, c.end, c.position, c.amount), want) << text;
  }
  EXPECT_EQ(std::tuple(TruncateToInt(2.9), TruncateToInt(-1.5), TruncateToInt(-1e300)),
            std::tuple(2, -1, INT32_MIN));
  // Each command file is deleted once read, exits with 0 and leaves its refusal,
  // or the edited audio, and its snapshot (editing op codes only).
  const std::string nothing = " does nothing";
  const std::tuple<const char*, std::string, size_t> cases[] = {
      {"junk", "the command file does not start with an op code", 0},
      {"2 1.0 2.0 0", "the command file holds fewer than five numbers", 0},
      {"2 nan 2 0 1", "the command holds a number that is not finite", 0},
      // Op codes outside the table; unused editing codes take their snapshot.
      {"-1 0 1 0 1", "op code -1" + nothing, 0},
      {"101 0 1 0 1", "op code 101" + nothing, 0},
      {"667 0 1 0 1", "there is nothing to redo", 0},
      {"2147483650 0 1 0 1", "op code 2147483650" + nothing, 0},
      {"15 0 1 0 1", "op code 15" + nothing, 1},
      {"100 0 1 0 1", "op code 100" + nothing, 1},
      // Range checks come after the snapshot; the end is checked against the
      // whole seconds only when position is 0.
      {"2 1 1 0 0.5", "the range [1, 1) is empty", 1},
      {"2 -0.5 1 0 0.5", "the range begins before the audio", 1},
      {"2 9 10.2 0 0.5", "the range ends at 10.2 s, after the 10 whole seconds of audio", 1},
      {"2 0 10 0 0.5", "", 1},
      {"2 0 1e300 3 0.5", "", 1}};
  for (const auto& [text, refusal, snapshots] : cases) {
    SCOPED_TRACE(text);
    Workspace ws(TenSeconds());
    RunResult r = ws.Run(text);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, refusal.empty() ? "" : "tolva: refused: " + refusal + "\n");
    EXPECT_FALSE(ws.Has("audio/tolvaset.in"));
    EXPECT_EQ(ws.Working() != TenSeconds(), refusal.empty());
    EXPECT_EQ(ws.Snapshots().size(), snapshots);
  }
}

TEST(Driver, AnUnusableOrMissingWorkingFileStopsTheEditBeforeAnyChange) {
  Workspace ws;
  const Bytes eight_bit = BuildWav({.bits = 8}, Samples(400, 3));
  ws.PutWorking(eight_bit);
  RunResult r = ws.Run("2 0 1 5 0.5");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "tolva: audio/output.wav cannot be edited: 8-bit samples (16-bit expected)\n");
  EXPECT_EQ(ws.Working(), eight_bit);
  fs::remove("audio/output.wav");
  EXPECT_EQ(ws.Run("2 0 1 5 0.5").err, "tolva: there is no audio/output.wav\n");
  EXPECT_EQ(ws.Run("1 0 0 0 0").err, "tolva: there is no audio/output.wav to open\n");
  EXPECT_EQ(ws.RunBinary().err, "");  // without a command file nothing happens
  EXPECT_EQ(ws.AudioFiles(), Strings{"oldversions"});
  fs::remove_all("audio"), ws.Put("audio", {});  // no workspace to lock, no run
  EXPECT_EQ(ws.RunBinary({.args = {"info"}}).err, "tolva: cannot open audio: Not a directory\n");
}

TEST(Driver, ListenStartsTheDesktopOpenerOnTheWorkingFileEvenAnEmptyOne) {
  Workspace ws(Bytes{});
  const std::string opener = "#!/bin/sh\necho \"$@\" > opened\n";
  ws.Put("xdg-open", Bytes(opener.begin(), opener.end()));
  fs::permissions("xdg-open", fs::perms::owner_all);
  ASSERT_EQ(mkfifo("opened", 0600), 0);  // read below once the opener writes it
  const std::string path = "PATH=" + ws.root().string() + ":" + getenv("PATH");
  ASSERT_EQ(ws.Run("1 0 0 0 0", {.env = {path}}).exit_code, 0);
  const Bytes opened = ws.Get("opened");
  EXPECT_EQ(std::string(opened.begin(), opened.end()), "audio/output.wav\n");
}

// A full disk fails the edit; a killed run leaves its scratch file, which the
// next run with a command removes (links without their targets) first.
TEST(CrashSafety, AFullDiskOrAKillLeavesTheWorkingFileWholeAndTheNextRunWorks) {
  Workspace ws(TenSeconds());
  RunOptions full{.file_size_limit = 4096};  // the new version cannot be written past 4 KiB
  RunResult r = ws.Run("2 1 2 0 0.5", full);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err.rfind("tolva: cannot write audio/temp.wav: File too large", 0), 0u) << r.err;
  EXPECT_EQ(ws.Working(), TenSeconds());
  EXPECT_FALSE(ws.Has("audio/temp.wav"));
  full.ignore_sigxfsz = false;  // the kernel kills the run in the middle of its write
  EXPECT_EQ(ws.Run("2 1 2 0 0.5", full).signal, SIGXFSZ);
  EXPECT_EQ(ws.Working(), TenSeconds());
  EXPECT_TRUE(ws.Has("audio/temp.wav"));  // the torn scratch file, never the working file
  ws.Put("keep.me", Bytes{1});
  fs::create_symlink(ws.root() / "keep.me", "audio/temp.mp3");
  for (const char* name : {"audio/res.wav", "audio/res1.wav"}) ws.Put(name, Bytes{2});
  ws.Run("4 1 1 0 0");
  EXPECT_EQ(ws.AudioFiles(), (Strings{"oldversions", "output.wav"}));
  EXPECT_EQ(ws.Get("keep.me"), Bytes{1});
  EXPECT_EQ(ws.Run("2 1 2 0 0.5").exit_code, 0);
  EXPECT_NE(ws.Working(), TenSeconds());
}

// A working file of 4,000,000,000 bytes of audio (6 h 17 min of 44.1 kHz
// stereo), its samples a hole in the file: info reads it, and an edit whose
// result would pass 4 GiB is refused before anything is written.
TEST(LongRecordings, AResultPastFourGibibytesIsRefusedBeforeAnyWrite) {
  Workspace ws(BuildWav({}, {}, 4000000000));
  fs::resize_file("audio/output.wav", 44 + 4000000000LL);
  EXPECT_EQ(ws.RunBinary({.args = {"info"}}).out,
            "working file: audio/output.wav\nformat: 16-bit PCM, stereo, 44100 Hz\n"
            "length: 6:17:55.737 (1000000000 frames)\nsnapshots: 0\nredo steps: 0\n");
  const FileIdentity working = IdentityOf("audio/output.wav");
  const std::string refusal =
      "tolva: refused: the result would hold 7 h 17 min of 44.1 kHz stereo; a WAV file holds at "
      "most 6 h 45 min\n";
  EXPECT_EQ(ws.Run("13 0 3600 1 0").err, refusal);
  EXPECT_EQ(IdentityOf("audio/output.wav"), working);
  EXPECT_EQ(FileSize("audio/output.wav"), 44 + 4000000000LL);
  EXPECT_FALSE(ws.Has("audio/temp.wav"));
}

// The MP3 may not be on the disk for good while its folder cannot be flushed:
// the working file and its history stay.
TEST(CrashSafety, AnExportWhoseFolderCannotBeFlushedKeepsTheWorkingFile) {
  Workspace ws(TenSeconds());
  ws.Run("2 0 1 0 0.5");
  const Bytes edited = ws.Working();
  const RunResult r = ws.Run("999 0 0 0 0", {.env = Faults({"TOLVA_FSYNC_FAILS=1"})});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err,
            "tolva: cannot flush audio: Input/output error; the MP3 is written, the working file "
            "and its history stay\n");
  EXPECT_EQ(ws.Working(), edited);
  EXPECT_EQ(ws.Snapshots().size(), 1u);
  EXPECT_TRUE(ws.Has("audio/output.mp3"));
}

// A line "N: -> FLOCK ... pid ..." in /proc/locks.
bool WaitsForALock(pid_t pid) {
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line))
    if (line.find("->") != std::string::npos &&
        line.find(" " + std::to_string(pid) + " ") != std::string::npos)
      return true;
  return false;
}

TEST(CrashSafety, ARunWaitsForTheRunHoldingTheWorkspace) {
  Workspace ws(TenSeconds());
  int held = open("audio", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  ws.Put("audio/tolvaset.in", Bytes{'2', ' ', '0', ' ', '1', ' ', '0', ' ', '2'});
  pid_t run = ws.Start();
  while (!WaitsForALock(run)) {
    siginfo_t ended{};
    ASSERT_EQ(waitid(P_PID, run, &ended, WEXITED | WNOHANG | WNOWAIT), 0);
    ASSERT_EQ(ended.si_pid, 0) << "the run ended without waiting for the workspace";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(ws.Has("audio/tolvaset.in"));  // not even read yet
  EXPECT_EQ(ws.Working(), TenSeconds());
  close(held);
  EXPECT_EQ(ws.Wait(run).exit_code, 0);
  EXPECT_NE(ws.Working(), TenSeconds());
}

}  // namespace
}  // namespace tolva::testing
