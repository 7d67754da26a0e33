#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

// A small XFS file system with shared extents on a loop device; `why` there is none.
struct XfsMount {
  XfsMount() {
    const std::string image = (dir / "image").string();
    fs::create_directory(dir / "mnt");
    WriteBytes(image, {});
    fs::resize_file(image, 300 << 20);  // the smallest that mkfs.xfs makes
    if (geteuid() != 0 || RunProgram({"mkfs.xfs", "-q", "-m", "reflink=1", image}) != 0 ||
        RunProgram({"mount", "-o", "loop", image, path}) != 0)
      why = "mounting an XFS image needs root, mkfs.xfs (xfsprogs) and a loop device";
  }
  ~XfsMount() {
    if (why.empty() && RunProgram({"umount", path}) != 0) RunProgram({"umount", "-l", path});
    fs::remove_all(dir);
  }
  char pattern[32] = "/tmp/tolva-xfs-XXXXXX";
  const fs::path dir = mkdtemp(pattern);
  const std::string path = (dir / "mnt").string();
  std::string why;
};

TEST(SharedExtentsTest, AnEditThatKeepsTheLengthSharesAllButItsRangeWithTheSnapshot) {
  XfsMount xfs;
  if (!xfs.why.empty()) GTEST_SKIP() << xfs.why;
  const auto free_bytes = [&] { return sync(), static_cast<int64_t>(fs::space(xfs.path).free); };
  const Bytes wav = BuildWav({.channels = 2, .rate = 44100}, Ramp(44100 * 30, 2));
  const std::string volume = "2 10 11 0 0.5";  // 176,400 bytes from 1,764,044 on
  Workspace plain(wav);                        // the same edit on the file system of /tmp
  ASSERT_EQ(plain.Run(volume).exit_code, 0);
  Workspace ws(xfs.path);
  ws.PutWorking(wav);
  const int64_t free_before = free_bytes();
  ASSERT_EQ(ws.Run(volume).exit_code, 0);
  const int64_t taken = free_before - free_bytes();
  EXPECT_EQ(ws.Working(), plain.Working());
  EXPECT_NE(ws.Working(), wav);
  ASSERT_EQ(ws.Snapshots().size(), 1u);
  EXPECT_EQ(ws.Get("audio/oldversions/" + ws.Snapshots()[0] + ".wav"), wav);
  // New are the range's blocks, shared by the history's blob of the edit's
  // bytes, and a few small files; a copy takes 5.3 MB.
  EXPECT_LT(taken, 176400 + 131072);
}

}  // namespace
}  // namespace tolva::testing
