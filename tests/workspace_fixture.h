#pragma once

// A throwaway workspace (a folder holding audio/) to run in, the engine
// settings effects run under, and a runner for the binary as a front end starts it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine.h"
#include "history.h"
#include "pieces.h"
#include "riff.h"
#include "wav_builder.h"

namespace tolva::testing {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

// Engine settings every effect must give the same bytes under: one frame per
// block, a few frames with kernel copies of every stretch (aligned to 6-byte
// blocks: buffered heads and tails around whole blocks), the same copied
// through the buffer in large blocks, and the defaults (the file system's way).
struct EngineSetting {
  const char* name;
  EngineOptions options;
};
inline const EngineSetting kEngineSettings[] = {{"OneFrame", {1, -1}},
                                                {"ThreeFramesKernel", {3, 0, 6, CopyPath::kKernel}},
                                                {"ThreeFramesBuffer", {3, 0, 6, CopyPath::kBuffer}},
                                                {"SevenFrames", {7, -1}},
                                                {"Default", {}}};

struct RunResult {
  int exit_code = -1, signal = 0;  // exit code -1: killed by the signal
  std::string out, err;
};

struct RunOptions {
  int64_t file_size_limit = -1;  // RLIMIT_FSIZE for the run; writes past it fail
  bool ignore_sigxfsz = true;    // false: the run is killed at the limit
  Strings args = {};             // command-line arguments; none: the front end's way
  Strings env = {};              // "NAME=value" set for the run
};

// The environment of a run that preloads the faults of tests/shim/faults.cpp,
// chosen by `settings` ("TOLVA_KILL_AT=3", ...).
inline Strings Faults(Strings settings) {
  const char* asan = std::getenv("ASAN_OPTIONS");  // a sanitized binary loads its runtime later
  settings.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                     ":verify_asan_link_order=0");
  settings.push_back("LD_PRELOAD=" TOLVA_FAULTS);
  return settings;
}

// Ten and a half seconds of stereo at 8000 Hz (an MP3 rate), every frame distinct.
inline Bytes TenSeconds() {
  return BuildWav({.channels = 2, .rate = 8000}, Ramp(84000, 2));
}

// Starts a program (a path, or a name looked up in PATH; no shell) in `folder`
// without waiting, its standard output and error written to files there.
inline pid_t Spawn(const Strings& args, const fs::path& folder, const char* out, const char* err,
                   const RunOptions& options = {}) {
  if (pid_t pid = fork(); pid != 0) return pid;
  if (chdir(folder.c_str()) != 0) _exit(127);
  dup2(open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
  dup2(open(err, O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
  if (options.file_size_limit >= 0) {
    const rlim_t limit = static_cast<rlim_t>(options.file_size_limit);
    const rlimit both{limit, limit};
    setrlimit(RLIMIT_FSIZE, &both);
    if (options.ignore_sigxfsz) signal(SIGXFSZ, SIG_IGN);
  }
  for (const std::string& e : options.env) putenv(const_cast<char*>(e.c_str()));
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

// Runs a program in the current folder, its output discarded: its exit status, or -1.
inline int RunProgram(const Strings& args) {
  int status = 0;
  waitpid(Spawn(args, ".", "/dev/null", "/dev/null"), &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Workspace {
 public:
  explicit Workspace(const fs::path& parent = "/tmp") {
    std::string pattern = (parent / "tolva-test-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    fs::create_directory(root_ / "audio");
    fs::current_path(root_);
  }
  ~Workspace() {
    fs::current_path(old_);
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  explicit Workspace(const Bytes& working) : Workspace() { PutWorking(working); }
  const fs::path& root() const { return root_; }

  void Put(const fs::path& file, const Bytes& bytes) const { WriteBytes(root_ / file, bytes); }
  Bytes Get(const fs::path& file) const { return ReadBytes(root_ / file); }
  bool Has(const fs::path& file) const { return fs::exists(fs::symlink_status(root_ / file)); }
  void PutWorking(const Bytes& wav) const { Put("audio/output.wav", wav); }
  Bytes Working() const { return Get("audio/output.wav"); }
  // Names in a folder of the workspace, sorted: all entries, or only files.
  Strings Names(const fs::path& folder, bool files_only = false) const {
    Strings names;
    std::error_code ec;
    for (fs::directory_iterator e(root_ / folder, ec), end; !ec && e != end; ++e)
      if (!files_only || e->is_regular_file()) names.push_back(e->path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  Strings Snapshots() const {
    Strings names;
    for (const Version& v : Versions(root_ / "audio/oldversions", false)) names.push_back(v.name);
    return names;
  }
  Strings AudioFiles() const { return Names("audio"); }

  // Runs `command` as the front end does, from audio/tolvaset.in.
  RunResult Run(const std::string& command, const RunOptions& options = {}) const {
    Put("audio/tolvaset.in", Bytes(command.begin(), command.end()));
    return RunBinary(options);
  }

  RunResult RunBinary(const RunOptions& options = {}) const { return Wait(Start(options)); }

  // Starts the binary in the workspace without waiting for it; its output goes
  // to files of the root that Wait reads and removes.
  pid_t Start(const RunOptions& options = {}) const {
    Strings args = options.args;
    args.insert(args.begin(), TOLVA_BINARY);
    return Spawn(args, root_, ".stdout", ".stderr", options);
  }

  RunResult Wait(pid_t pid) const {
    int status = 0;
    waitpid(pid, &status, 0);
    RunResult r;
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    for (auto [name, text] : {std::pair{".stdout", &r.out}, {".stderr", &r.err}}) {
      const Bytes b = Has(name) ? Get(name) : Bytes{};  // none from a run killed at once
      text->assign(b.begin(), b.end());
      fs::remove(root_ / name);
    }
    return r;
  }

 private:
  fs::path root_;
  fs::path old_ = fs::current_path();
};

class EffectTest : public ::testing::TestWithParam<EngineSetting> {
 protected:
  void SetUp() override { Engine() = GetParam().options; }
  void TearDown() override { Engine() = EngineOptions{}; }
  RIFF Install(const Bytes& wav) {
    ws_.PutWorking(wav);
    RIFF r{};
    EXPECT_TRUE(GetInfo(r, kWorkingWav));
    return r;
  }
  // Runs `effect` on `wav` as the working file and checks what every effect
  // keeps: only the sizes move, by whole frames; the record is the header
  // written; no scratch file stays; a refusal changes nothing; the history's
  // pieces rebuild the new file byte for byte.
  Samples Apply(const Bytes& wav, const std::function<Status(RIFF&)>& effect,
                bool refused = false) {
    fs::remove_all("audio/oldversions");
    RIFF record = Install(wav);
    const RIFF before = record;
    EXPECT_TRUE(CreateVersion().ok());
    const FileIdentity installed = IdentityOf("audio/output.wav");
    const Status s = [&] {
      EditRecording recording;
      return effect(record);
    }();
    EXPECT_EQ(refused ? s.refused() : s.ok(), true) << s.message();
    const Bytes out = ws_.Working();
    if (IdentityOf("audio/output.wav") != installed) {
      ReplacementFile rebuilt("audio/rebuilt.wav");
      EXPECT_TRUE(rebuilt.Open().ok());
      EXPECT_TRUE(BuildFromPieces(paths::kNewWorkingPieces, rebuilt).ok());
      EXPECT_TRUE(rebuilt.CommitAs("audio/rebuilt.wav", ReplacementFile::Flush::kSkip).ok());
      EXPECT_EQ(ws_.Get("audio/rebuilt.wav"), out);
      fs::remove("audio/rebuilt.wav");
    }
    const RIFF header = HeaderOf(out);
    const int64_t grown = int64_t{header.DataSize} - before.DataSize;
    RIFF expected = before;
    expected.DataSize = header.DataSize;
    expected.ChunkSize = static_cast<uint32_t>(before.ChunkSize + grown);
    if (before.HasFact)
      expected.FactData = static_cast<uint32_t>(before.FactData + grown / FrameBytes(before));
    EXPECT_EQ(grown % FrameBytes(before), 0);
    EXPECT_EQ(HeaderImage(header), HeaderImage(expected));
    EXPECT_EQ(HeaderImage(record), HeaderImage(header));
    EXPECT_EQ(out.size(), static_cast<size_t>(header.DataOffset + header.DataSize));
    EXPECT_EQ(ws_.AudioFiles(), (Strings{"oldversions", "output.wav"}));
    if (refused) {
      EXPECT_EQ(out, wav);
    }
    return SamplesOf(out);
  }
  Workspace ws_;
};

#define TOLVA_ALL_ENGINE_SETTINGS(Suite)                                                          \
  INSTANTIATE_TEST_SUITE_P(Engine, Suite, ::testing::ValuesIn(::tolva::testing::kEngineSettings), \
                           [](const auto& info) { return std::string(info.param.name); })

}  // namespace tolva::testing
