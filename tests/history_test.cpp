#include "history.h"

#include <sys/stat.h>

#include <ctime>

#include "effects.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

int64_t Utc(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{second, minute, hour, day, month - 1, year - 1900, 0, 0, 0, 0, nullptr};
  return static_cast<int64_t>(timegm(&t));
}

// A clock the test sets; restores the real one afterwards.
struct HistoryTest : ::testing::Test {
  HistoryTest() {
    SnapshotClock() = [this] { return now_; };
  }
  ~HistoryTest() override { SnapshotClock() = saved_; }
  Workspace ws_;
  int64_t now_ = Utc(2026, 12, 6, 17, 30, 5);
  std::function<int64_t()> saved_ = SnapshotClock();
};

// Names hold the UTC date and the hour plus eight, never carried into the
// date, without leading zeros. A new name sorts after every name in both
// folders, whatever the clock says; no working file, no snapshot; the folder
// is made readable by all (a front end may run as another user).
TEST_F(HistoryTest, NewNamesSortAfterEveryNameInBothFolders) {
  now_ = Utc(2026, 3, 9, 23, 8, 7);
  EXPECT_EQ(VersionName(ReadClock()), "output_2026_3_9_31_8_7");
  now_ = Utc(2027, 1, 1, 0, 0, 0);
  SnapshotKey twelfth = ReadClock();
  twelfth[6] = 12;
  EXPECT_EQ(VersionName(twelfth), "output_2027_1_1_8_0_0_12");
  now_ = Utc(2026, 12, 6, 17, 30, 5);
  const mode_t mask = umask(022);
  ASSERT_TRUE(CreateVersion().ok());
  EXPECT_FALSE(ws_.Has("audio/oldversions"));
  ws_.PutWorking(BuildWav({}, Ramp(10, 2)));
  ASSERT_TRUE(CreateVersion().ok());
  EXPECT_EQ(fs::status("audio/oldversions").permissions(), fs::perms(0755));
  umask(mask);
  const std::string at = "output_2026_12_6_25_30_";  // the clock's second
  const std::tuple<Strings, Strings, std::string> cases[] = {
      {{}, {}, at + "5"},
      {{at + "5.wav"}, {}, at + "5_1"},
      {{at + "5.wav"}, {at + "5_7.wav"}, at + "5_8"},
      {{"output_2099_1_1_8_0_0_3.wav", at + "6.wav"}, {}, "output_2099_1_1_8_0_0_4"},
      {{at + "4_9.wav", "notes.wav"}, {"output_2026_12_6_8_0_0.pieces"}, at + "5"}};
  for (const auto& [snapshots, redo, name] : cases) {
    fs::remove_all("audio/oldversions");
    fs::create_directories("audio/oldversions/redo");
    for (const std::string& f : snapshots) ws_.Put("audio/oldversions/" + f, Bytes{1});
    for (const std::string& f : redo) ws_.Put("audio/oldversions/redo/" + f, Bytes{1});
    EXPECT_EQ(NewVersionName(), name);
  }
  fs::create_directories("audio/oldversions/" + at + "5.wav");  // a folder's name
  EXPECT_EQ(NewVersionName(), at + "5_1");
}

TEST_F(HistoryTest, TheNewestIsTheNewestByTimeNotByText) {
  const std::pair<Strings, std::string> cases[] = {
      {{"output_2026_3_9_9_0_0.wav", "output_2026_3_9_10_0_0.wav"}, "output_2026_3_9_10_0_0.wav"},
      {{"output_2026_3_9_9_0_0_10.wav", "output_2026_3_9_9_0_0.wav", "output_2026_3_9_9_0_0_9.wav"},
       "output_2026_3_9_9_0_0_10.wav"},
      {{"output_2026_2_28_31_0_0.wav", "output_2026_10_1_8_0_0.wav"}, "output_2026_10_1_8_0_0.wav"},
      {{"notes.wav", " blank.wav", "output_x.wav", "output_1_2_3.wav", "output_2026__7_8_0_0.wav"},
       ""}};
  for (const auto& [files, newest] : cases) {
    fs::remove_all("audio/oldversions"), fs::create_directory("audio/oldversions");
    for (const std::string& f : files) ws_.Put("audio/oldversions/" + f, Bytes{1});
    const std::vector<Version> versions = Versions("audio/oldversions", true);
    EXPECT_EQ(versions.empty() ? "" : versions[0].WholePath().filename().string(), newest);
  }
  fs::create_directories("audio/oldversions/output_2026_1_1_8_0_0.wav");
  EXPECT_TRUE(Versions("audio/oldversions", true).empty());  // folders are no snapshots
  EXPECT_TRUE(Discard().refused());
  EXPECT_TRUE(Versions("audio/no-such-folder", true).empty());
}

// Undo installs only a usable file; the damaged ones are named and stay.
TEST_F(HistoryTest, DamagedSnapshotsAreSkippedAndLeftInPlace) {
  const Bytes current = BuildWav({}, Ramp(90, 2)), good = BuildWav({}, Ramp(100, 2));
  const std::string snapshot = "audio/oldversions/output_2026_1_1_8_0_";
  ws_.PutWorking(current);
  fs::create_directories("audio/oldversions");
  ws_.Put(snapshot + "0.wav", good);
  ws_.Put(snapshot + "1.wav", Bytes(good.begin(), good.end() - 3));
  ws_.Put(snapshot + "2.wav", Bytes(100, 'x'));
  const std::string skipped =
      "tolva: skipped " + snapshot + "2.wav: not a WAV file this program can read\n" +
      "tolva: skipped " + snapshot +
      "1.wav: it cannot be edited: the data chunk claims more bytes than the file holds\n";
  EXPECT_EQ(ws_.Run("666 0 0 0 0").err, skipped);
  EXPECT_EQ(ws_.Working(), good);
  EXPECT_EQ(ws_.Get(Versions(paths::kRedoSteps, true).at(0).WholePath()), current);
  EXPECT_EQ(ws_.Run("666 0 0 0 0").err,
            skipped + "tolva: refused: there is no snapshot to undo to\n");
  EXPECT_EQ(ws_.Working(), good);
}

// Beside a whole snapshot of an earlier tolva, a version whose description is
// cut short, or whose piece is gone, is skipped like a damaged snapshot; the
// others rebuild exactly; a new edit frees the pieces only the dropped redo
// steps used (none while a description cannot be read through).
TEST(HistoryPieces, DamagedPiecesAreSkippedAndWholeSnapshotsMixIn) {
  const std::pair<const char*, Strings> damages[] = {
      {"is cut short", {"1.wav", "2.bytes", "3.bytes", "4.bytes", "5.wav", "6.bytes"}},
      {"the piece 2.bytes cannot be read", {"1.wav", "5.wav", "6.bytes"}}};
  for (const auto& [why, pieces_left] : damages) {
    SCOPED_TRACE(why);
    Workspace ws(TenSeconds());
    const Bytes legacy = BuildWav({.rate = 8000}, Ramp(16000, 2));
    fs::create_directories("audio/oldversions");
    ws.Put("audio/oldversions/output_2026_1_1_8_0_0.wav", legacy);
    std::vector<Bytes> made = {TenSeconds()};
    for (const char* edit : {"2 0 1 0 0.5", "2 1 2 0 0.5", "4 2 3 0 0"}) {
      ASSERT_EQ(ws.Run(edit).err, "");
      made.push_back(ws.Working());
    }
    const std::vector<Version> snapshots = Versions(paths::kSnapshots, true);
    ASSERT_EQ(snapshots.size(), 4u);
    const Version damaged = snapshots[1];  // the version after the first edit
    EXPECT_TRUE(!damaged.whole && damaged.pieces && snapshots[0].whole && !snapshots[2].whole);
    if (std::string(why) == "is cut short") {
      const Bytes description = ws.Get(damaged.PiecesPath());
      ws.Put(damaged.PiecesPath(), Bytes(description.begin(), description.end() - 4));
    } else {
      fs::remove("audio/oldversions/pieces/2.bytes");
    }
    const std::string skipped = "tolva: skipped " + damaged.PiecesPath().string() + ": ";
    for (const Bytes* expected : std::vector<const Bytes*>{&made[2], &made[0], &legacy}) {
      const RunResult r = ws.Run("666 0 0 0 0");
      EXPECT_EQ(ws.Working(), *expected);
      EXPECT_EQ(r.err.find(skipped) == 0 && r.err.find(why) != std::string::npos,
                expected != &made[2])
          << r.err;
    }
    ASSERT_EQ(ws.Run("2 0 1 0 2").exit_code, 0);
    EXPECT_EQ(ws.Names("audio/oldversions/pieces"), pieces_left);
  }
  // A whole file cut short beside good pieces: the version is rebuilt from
  // them, and the damaged file goes with it.
  Workspace ws(TenSeconds());
  ASSERT_EQ(ws.Run("2 0 1 0 0.5").exit_code, 0);
  const Bytes first = ws.Working();
  ASSERT_EQ(ws.Run("2 1 2 0 0.5").exit_code, 0);
  const Version newest = Versions(paths::kSnapshots, true).at(0);
  fs::resize_file(newest.WholePath(), 1000);
  EXPECT_EQ(ws.Run("666 0 0 0 0").err, "");
  EXPECT_EQ(ws.Working(), first);
  EXPECT_FALSE(ws.Has(newest.WholePath()) || ws.Has(newest.PiecesPath()));
}

// Across file systems (EXDEV) a file is copied; a name that is taken stays.
TEST(LinkOrCopy, CopiesWhereNoLinkCanBeMade) {
  Workspace ws;
  fs::path elsewhere;
  for (const char* folder : {"/dev/shm", "/run", "/var/tmp", "/tmp"}) {
    const uint64_t device = IdentityOf(folder).device;
    if (elsewhere.empty() && device != 0 && device != IdentityOf("audio").device)
      elsewhere = folder;
  }
  if (elsewhere.empty()) GTEST_SKIP() << "no other file system to copy from";
  Workspace outside(elsewhere);
  outside.PutWorking(TenSeconds());
  const fs::path from = outside.root() / "audio/output.wav", to = ws.root() / "audio/copy.wav";
  ASSERT_NE(IdentityOf(from).device, IdentityOf(to.parent_path()).device);
  bool existed = true;
  ASSERT_TRUE(LinkOrCopy(from, to, &existed).ok());
  EXPECT_FALSE(existed);
  EXPECT_EQ(ReadBytes(to), TenSeconds());
  WriteBytes(to, Bytes{1});
  ASSERT_TRUE(LinkOrCopy(from, to, &existed).ok());
  EXPECT_TRUE(existed);
  EXPECT_EQ(ReadBytes(to), Bytes{1});
}

}  // namespace
}  // namespace tolva::testing
