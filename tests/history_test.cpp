#include "history.h"

#include <ctime>

#include "effects.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

int64_t Utc(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return static_cast<int64_t>(timegm(&t));
}

// A clock the test sets; restores the real one afterwards.
class HistoryTest : public ::testing::Test {
 protected:
  HistoryTest() : saved_(SnapshotClock()) {
    SnapshotClock() = [this] { return now_; };
  }
  ~HistoryTest() override { SnapshotClock() = saved_; }
  void SetNow(int64_t t) { now_ = t; }

  Workspace ws_;
  int64_t now_ = Utc(2026, 12, 6, 17, 30, 5);
  std::function<int64_t()> saved_;
};

TEST_F(HistoryTest, NamesUseUtcDateAndHourPlusEightWithoutLeadingZeros) {
  struct Case {
    int64_t when;
    const char* name;
  } cases[] = {
      {Utc(2026, 12, 6, 17, 30, 5), "output_2026_12_6_25_30_5.wav"},
      {Utc(2027, 1, 1, 0, 0, 0), "output_2027_1_1_8_0_0.wav"},
      {Utc(2026, 3, 9, 23, 59, 59), "output_2026_3_9_31_59_59.wav"},
      {Utc(2026, 3, 10, 2, 8, 7), "output_2026_3_10_10_8_7.wav"},
  };
  for (const Case& c : cases) {
    SetNow(c.when);
    EXPECT_EQ(SnapshotName(ReadClock(), 0), c.name);
  }
  SetNow(Utc(2026, 12, 6, 17, 30, 5));
  EXPECT_EQ(GetYear(), 2026);
  EXPECT_EQ(GetMonth(), 12);
  EXPECT_EQ(GetDay(), 6);
  EXPECT_EQ(GetHour(), 25);
  EXPECT_EQ(GetMinute(), 30);
  EXPECT_EQ(GetSecond(), 5);
}

TEST_F(HistoryTest, SnapshotsOfOneSecondGetDistinctNames) {
  ws_.PutWorking(BuildWav({}, Ramp(10, 2)));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(CreateVersion().ok());
  EXPECT_EQ(ws_.Snapshots(), (std::vector<std::string>{"output_2026_12_6_25_30_5.wav",
                                                       "output_2026_12_6_25_30_5_1.wav",
                                                       "output_2026_12_6_25_30_5_2.wav"}));
}

TEST_F(HistoryTest, CreatesTheMissingFolderAndSkipsWithoutWorkingFile) {
  ASSERT_TRUE(CreateVersion().ok());
  EXPECT_FALSE(ws_.Has("audio/oldversions"));
  Bytes wav = BuildWav({}, Ramp(10, 2));
  ws_.PutWorking(wav);
  ASSERT_TRUE(CreateVersion().ok());
  ASSERT_EQ(ws_.Snapshots().size(), 1u);
  EXPECT_EQ(ws_.Get("audio/oldversions/" + ws_.Snapshots()[0]), wav);
}

TEST_F(HistoryTest, LastFileIsTheNewestByTimeNotByText) {
  struct Case {
    const char* name;
    std::vector<std::string> files;
    std::string newest;
  } cases[] = {
      {"hour 10 after hour 9",
       {"output_2026_3_9_9_0_0.wav", "output_2026_3_9_10_0_0.wav"},
       "output_2026_3_9_10_0_0.wav"},
      {"numbered after plain",
       {"output_2026_3_9_9_0_0_1.wav", "output_2026_3_9_9_0_0.wav"},
       "output_2026_3_9_9_0_0_1.wav"},
      {"number 10 after 9",
       {"output_2026_3_9_9_0_0_10.wav", "output_2026_3_9_9_0_0_9.wav"},
       "output_2026_3_9_9_0_0_10.wav"},
      {"day before month",
       {"output_2026_2_28_31_0_0.wav", "output_2026_10_1_8_0_0.wav"},
       "output_2026_10_1_8_0_0.wav"},
      {"other files ignored", {"notes.wav", " blank.wav", "output_x.wav", "output_1_2_3.wav"}, " "},
      {"nothing there", {}, " "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all("audio/oldversions");
    std::filesystem::create_directory("audio/oldversions");
    for (const std::string& f : c.files) ws_.Put("audio/oldversions/" + f, Bytes{1});
    EXPECT_EQ(LastFile("audio/oldversions", "wav"), c.newest);
  }
}

TEST_F(HistoryTest, FoldersAreNeverSnapshots) {
  std::filesystem::create_directories("audio/oldversions/output_2026_1_1_8_0_0.wav");
  EXPECT_EQ(LastFile("audio/oldversions", "wav"), " ");
  EXPECT_TRUE(GetFileList("audio/oldversions", "wav").empty());
  EXPECT_TRUE(Discard().refused());
  EXPECT_EQ(LastFile("audio/no-such-folder", "wav"), " ");
}

// Undo and redo install only a usable file; the damaged ones are named and stay.
TEST_F(HistoryTest, DamagedVersionsAreSkippedAndLeftInPlace) {
  const Bytes current = BuildWav({}, Ramp(90, 2)), good = BuildWav({}, Ramp(100, 2));
  Bytes truncated = good;
  truncated.resize(good.size() - 3);
  const std::string snapshot = "audio/oldversions/output_2026_1_1_8_0_";
  const std::string redo_step = "audio/oldversions/redo/output_2026_1_1_8_0_0.wav";
  ws_.PutWorking(current);
  std::filesystem::create_directories("audio/oldversions/redo");
  ws_.Put(snapshot + "0.wav", good);
  ws_.Put(snapshot + "1.wav", truncated);
  ws_.Put(snapshot + "2.wav", Bytes(100, 'x'));
  const std::string skipped_both =
      "tolva: skipped " + snapshot + "2.wav: not a WAV file this program can read\n" +
      "tolva: skipped " + snapshot +
      "1.wav: it cannot be edited: the data chunk claims more bytes than the file holds\n";
  RunResult r = ws_.Run("666 0 0 0 0");
  EXPECT_EQ(r.err, skipped_both);
  EXPECT_EQ(ws_.Working(), good);
  EXPECT_EQ(ws_.Get(redo_step), current);
  EXPECT_EQ(ws_.Snapshots().size(), 2u);

  ws_.Put("audio/oldversions/redo/output_2026_1_1_7_0_0.wav", Bytes(100, 'x'));
  r = ws_.Run("667 0 0 0 0");
  EXPECT_EQ(r.err,
            "tolva: skipped audio/oldversions/redo/output_2026_1_1_7_0_0.wav: "
            "not a WAV file this program can read\n");
  EXPECT_EQ(ws_.Working(), current);
  EXPECT_EQ(ws_.Get(snapshot + "0.wav"), good);

  std::filesystem::remove(snapshot + "0.wav");
  r = ws_.Run("666 0 0 0 0");
  EXPECT_EQ(r.err, skipped_both + "tolva: refused: there is no snapshot to undo to\n");
  EXPECT_EQ(ws_.Working(), current);
}

TEST(LinkOrCopy, CopiesWhereNoLinkCanBeMade) {
  Workspace ws;
  // /dev/shm is another file system: a hard link fails with EXDEV there.
  std::filesystem::path outside = "/dev/shm/tolva-link-test-" + std::to_string(getpid());
  Bytes wav = BuildWav({}, Ramp(100, 2));
  WriteBytes(outside, wav);
  bool existed = true;
  ASSERT_TRUE(LinkOrCopy(outside, "audio/copy.wav", &existed).ok());
  EXPECT_FALSE(existed);
  EXPECT_EQ(ws.Get("audio/copy.wav"), wav);
  ASSERT_TRUE(LinkOrCopy(outside, "audio/copy.wav", &existed).ok());
  EXPECT_TRUE(existed);
  std::filesystem::remove(outside);
}

}  // namespace
}  // namespace tolva::testing
