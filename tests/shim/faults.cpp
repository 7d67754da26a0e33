// Faults preloaded into runs of the binary. TOLVA_KILL_AT=N kills the process
// just before its N-th change to the file system (a timer would mostly hit the
// start of the process); removing a missing name or making an existing folder
// is no change. TOLVA_FSYNC_FAILS fails fsync (tolva's flush of folders) with
// EIO, as a disk that went away would.

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

void Tick() {
  static int left = [] {
    const char* n = std::getenv("TOLVA_KILL_AT");
    return n != nullptr ? std::atoi(n) : 0;
  }();
  if (left > 0 && --left == 0) kill(getpid(), SIGKILL);
}

bool Exists(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0;
}

template <typename Fn>
Fn Next(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

#define TOLVA_INTERPOSE(name, params, args, counts) \
  int name params {                                 \
    if (counts) Tick();                             \
    static auto next = Next<int(*) params>(#name);  \
    return next args;                               \
  }

extern "C" {
TOLVA_INTERPOSE(rename, (const char* a, const char* b), (a, b), true)
TOLVA_INTERPOSE(renameat2, (int fa, const char* a, int fb, const char* b, unsigned f),
                (fa, a, fb, b, f), true)
TOLVA_INTERPOSE(link, (const char* a, const char* b), (a, b), true)
TOLVA_INTERPOSE(unlink, (const char* a), (a), Exists(a))
TOLVA_INTERPOSE(remove, (const char* a), (a), Exists(a))
TOLVA_INTERPOSE(rmdir, (const char* a), (a), Exists(a))
TOLVA_INTERPOSE(mkdir, (const char* a, mode_t m), (a, m), !Exists(a))
TOLVA_INTERPOSE(fdatasync, (int fd), (fd), true)

int fsync(int fd) {
  Tick();
  if (std::getenv("TOLVA_FSYNC_FAILS") != nullptr) {
    errno = EIO;
    return -1;
  }
  static auto next = Next<int (*)(int)>("fsync");
  return next(fd);
}
}
