#pragma once

// A throwaway workspace (a folder holding audio/) that the test runs in, the
// streaming core's settings to run effects under, and a runner for the real
// binary exactly as a front end starts it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "engine.h"
#include "riff.h"
#include "wav_builder.h"

namespace tolva::testing {

namespace fs = std::filesystem;

// Engine settings every effect must give the same bytes under: one frame per
// block, a few frames, kernel copies of every stretch (aligned to 6-byte blocks:
// buffered heads and tails around whole blocks), and the defaults.
struct EngineSetting {
  const char* name;
  int64_t block_frames;
  int64_t kernel_copy_min_bytes;
  int64_t kernel_copy_block = 0;
};
inline void PrintTo(const EngineSetting& setting, std::ostream* os) {
  *os << setting.name;
}

inline const EngineSetting kEngineSettings[] = {
    {"OneFrame", 1, -1},
    {"ThreeFrames", 3, 0, 6},
    {"SevenFrames", 7, -1},
    {"Default", EngineOptions{}.block_frames, EngineOptions{}.kernel_copy_min_bytes},
};

struct RunResult {
  int exit_code = -1;  // -1 when killed by a signal
  int signal = 0;
  std::string out;
  std::string err;
};

struct RunOptions {
  int64_t file_size_limit = -1;        // RLIMIT_FSIZE for the run; writes past it fail
  bool ignore_sigxfsz = true;          // false: the run is killed at the limit
  std::string path_prefix = {};        // prepended to PATH (fake desktop opener)
  std::vector<std::string> args = {};  // command-line arguments; none: the front end's way
};

// Runs a program with an argument vector (no shell) in the current folder, its
// output discarded; its exit status, or -1 when it did not exit normally.
inline int RunProgram(const std::vector<std::string>& args) {
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Workspace {
 public:
  explicit Workspace(const fs::path& parent = "/tmp") {
    std::string pattern = (parent / "tolva-test-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    fs::create_directory(root_ / "audio");
    old_ = fs::current_path();
    fs::current_path(root_);
  }
  ~Workspace() {
    fs::current_path(old_);
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const fs::path& root() const { return root_; }

  void Put(const fs::path& relative, const Bytes& bytes) const {
    WriteBytes(root_ / relative, bytes);
  }
  Bytes Get(const fs::path& relative) const { return ReadBytes(root_ / relative); }
  bool Has(const fs::path& relative) const {
    return fs::exists(fs::symlink_status(root_ / relative));
  }
  void PutWorking(const Bytes& wav) const { Put("audio/output.wav", wav); }
  Bytes Working() const { return Get("audio/output.wav"); }
  // Files in audio/oldversions (or in another folder of the workspace), sorted.
  std::vector<std::string> Snapshots(const fs::path& folder = "audio/oldversions") const {
    std::vector<std::string> names;
    if (!fs::exists(root_ / folder)) return names;
    for (auto& e : fs::directory_iterator(root_ / folder))
      if (e.is_regular_file()) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  // Files directly in audio/, sorted.
  std::vector<std::string> AudioFiles() const {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(root_ / "audio"))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  // Writes `command` into audio/tolvaset.in and runs the binary in the workspace.
  RunResult Run(const std::string& command, const RunOptions& options = {}) const {
    Put("audio/tolvaset.in", Bytes(command.begin(), command.end()));
    return RunBinary(options);
  }

  RunResult RunBinary(const RunOptions& options = {}) const { return Wait(Start(options)); }

  // Starts the binary in the workspace without waiting for it.
  pid_t Start(const RunOptions& options = {}) const {
    fs::path out_file = root_ / ".stdout", err_file = root_ / ".stderr";
    pid_t pid = fork();
    if (pid == 0) {
      if (chdir(root_.c_str()) != 0) _exit(127);
      int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, 1);
      dup2(err, 2);
      if (options.file_size_limit >= 0) {
        rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                     static_cast<rlim_t>(options.file_size_limit)};
        setrlimit(RLIMIT_FSIZE, &limit);
        if (options.ignore_sigxfsz) signal(SIGXFSZ, SIG_IGN);
      }
      if (!options.path_prefix.empty()) {
        std::string path = options.path_prefix + ":" + (getenv("PATH") ? getenv("PATH") : "");
        setenv("PATH", path.c_str(), 1);
      }
      std::vector<char*> argv{const_cast<char*>("tolva")};
      for (const std::string& a : options.args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(TOLVA_BINARY, argv.data());
      _exit(127);
    }
    return pid;
  }

  RunResult Wait(pid_t pid) const {
    fs::path out_file = root_ / ".stdout", err_file = root_ / ".stderr";
    int status = 0;
    waitpid(pid, &status, 0);
    RunResult r;
    if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
    Bytes o = ReadBytes(out_file), e = ReadBytes(err_file);
    r.out.assign(o.begin(), o.end());
    r.err.assign(e.begin(), e.end());
    fs::remove(out_file);
    fs::remove(err_file);
    return r;
  }

 private:
  fs::path root_;
  fs::path old_;
};

// Runs a test body under one engine setting, restoring the defaults after.
class ScopedEngine {
 public:
  explicit ScopedEngine(const EngineSetting& s) : saved_(Engine()) {
    Engine().block_frames = s.block_frames;
    Engine().kernel_copy_min_bytes = s.kernel_copy_min_bytes;
    Engine().kernel_copy_block = s.kernel_copy_block;
  }
  ~ScopedEngine() { Engine() = saved_; }

 private:
  EngineOptions saved_;
};

// Test fixture for in-process effect tests: a fresh workspace per test and the
// engine setting of the test's parameter.
class EffectTest : public ::testing::TestWithParam<EngineSetting> {
 protected:
  // Installs `wav` as the working file and loads its header into the result.
  RIFF Install(const Bytes& wav) {
    ws_.PutWorking(wav);
    RIFF r{};
    EXPECT_TRUE(GetInfo(r, kWorkingWav));
    return r;
  }
  Workspace ws_;
  ScopedEngine engine_{GetParam()};
};

// After an effect that changed the length of 16-bit audio by `frames` (< 0:
// shrank it), the written file and the caller's record both describe it:
// ChunkSize and DataSize moved by its bytes, FactData by the frames (only with
// a fact chunk), the file exactly as long as its header says.
inline void ExpectResizedBy(const RIFF& before, const RIFF& record, const Bytes& out,
                            int64_t frames) {
  const RIFF header = HeaderOf(out);
  const int64_t bytes = frames * before.NumChannels * 2;
  EXPECT_EQ(header.DataSize, before.DataSize + bytes);
  EXPECT_EQ(header.ChunkSize, before.ChunkSize + bytes);
  EXPECT_EQ(header.FactData, before.HasFact ? before.FactData + frames : before.FactData);
  EXPECT_EQ(out.size(), static_cast<size_t>(header.DataOffset + header.DataSize));
  EXPECT_EQ(HeaderImage(record), HeaderImage(header));
}

inline std::string SettingName(const ::testing::TestParamInfo<EngineSetting>& info) {
  return info.param.name;
}

#define TOLVA_ALL_ENGINE_SETTINGS(Suite)                                                          \
  INSTANTIATE_TEST_SUITE_P(Engine, Suite, ::testing::ValuesIn(::tolva::testing::kEngineSettings), \
                           ::tolva::testing::SettingName)

}  // namespace tolva::testing
