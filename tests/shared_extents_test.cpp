#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

// A small XFS file system with shared extents, from an image mounted through a
// loop device for one test; why says why there is none.
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

// Bytes of `file` (of at most 64 extents) in extents shared with another file.
int64_t SharedBytes(const fs::path& file) {
  std::vector<uint64_t> buffer((sizeof(fiemap) + 64 * sizeof(fiemap_extent)) / 8 + 1);
  auto* map = reinterpret_cast<fiemap*>(buffer.data());
  map->fm_length = FIEMAP_MAX_OFFSET;
  map->fm_extent_count = 64;
  int fd = open(file.c_str(), O_RDONLY);
  int64_t shared = 0;
  if (ioctl(fd, FS_IOC_FIEMAP, map) == 0) {
    for (uint32_t i = 0; i < map->fm_mapped_extents; ++i) {
      const fiemap_extent& e = map->fm_extents[i];
      if (e.fe_flags & FIEMAP_EXTENT_SHARED) shared += static_cast<int64_t>(e.fe_length);
    }
  }
  close(fd);
  return shared;
}

TEST(SharedExtentsTest, AnEditThatKeepsTheLengthSharesAllButItsRangeWithTheSnapshot) {
  XfsMount xfs;
  if (!xfs.why.empty()) GTEST_SKIP() << xfs.why;
  const Bytes wav = BuildWav({.channels = 2, .rate = 44100}, Ramp(44100 * 30, 2));
  const std::string volume = "2 10 11 0 0.5";  // 176,400 bytes from 1,764,044 on
  Workspace plain;                             // the same edit on the file system of /tmp
  plain.PutWorking(wav);
  ASSERT_EQ(plain.Run(volume).exit_code, 0);
  Workspace ws(xfs.path);
  ws.PutWorking(wav);
  ASSERT_EQ(ws.Run(volume).exit_code, 0);
  EXPECT_TRUE(ws.Working() == plain.Working() && ws.Working() != wav);
  ASSERT_EQ(ws.Snapshots().size(), 1u);
  EXPECT_TRUE(ws.Get("audio/oldversions/" + ws.Snapshots()[0]) == wav);
  // New are the range's blocks, the header's block and the last, partial one.
  EXPECT_GE(SharedBytes(ws.root() / "audio/output.wav"),
            static_cast<int64_t>(wav.size()) - 176400 - 4 * 4096);
}

}  // namespace
}  // namespace tolva::testing
