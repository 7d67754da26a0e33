// The history against a model of it: three stacks of content hashes
// (snapshots, the working file, redo steps) that each command changes by a
// rule a reader can check. The binary runs the commands, many within one
// second and with a clock that jumps back and forth; in one variant a share of
// the runs is killed at a random moment.

#include <chrono>
#include <csignal>
#include <optional>
#include <random>
#include <thread>

#include "history.h"
#include "mp3_tools.h"
#include "pieces.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

#ifdef TOLVA_SLOW_BINARY
constexpr int kCommandsPerSeed = 20;
#else
constexpr int kCommandsPerSeed = 100;
#endif

using Hash = uint64_t;
using Stack = std::vector<Hash>;  // oldest first: undo and redo take the last

Hash HashOf(const Bytes& bytes) {
  Hash h = 14695981039346656037u;  // FNV-1a
  for (uint8_t b : bytes) h = (h ^ b) * 1099511628211u;
  return h;
}

struct History {
  Stack snapshots;
  std::optional<Hash> working;
  Stack redo;
  bool operator==(const History&) const = default;
};

void PrintTo(const History& h, std::ostream* out) {
  for (Hash x : h.snapshots) *out << (x & 0xffff) << " ";
  *out << "| working " << (h.working ? std::to_string(*h.working & 0xffff) : "none") << " |";
  for (Hash x : h.redo) *out << " " << (x & 0xffff);
}

// kRefused: a refusal or an unassigned code of 15 to 100, which takes only the
// snapshot; kNothing: an op code outside the table, no snapshot; kPlant: the
// test puts a snapshot named in 2099 in place.
enum class Kind { kEdit, kRefused, kNothing, kUndo, kRedo, kImport, kExport, kPlant };

// `made` is the working file that an edit or an import left, which the model
// cannot know beforehand.
History After(History h, Kind kind, std::optional<Hash> made) {
  auto move = [&](Stack& from, Stack& to) {
    if (from.empty()) return;
    if (h.working) to.push_back(*h.working);
    h.working = from.back();
    from.pop_back();
  };
  const bool edits = kind == Kind::kImport || (kind == Kind::kEdit && h.working);
  if (h.working && (edits || kind == Kind::kRefused)) h.snapshots.push_back(*h.working);
  if (edits) h.working = made, h.redo.clear();
  if (kind == Kind::kUndo) move(h.snapshots, h.redo);
  if (kind == Kind::kRedo) move(h.redo, h.snapshots);
  if (kind == Kind::kExport && h.working) h = History{};
  return h;
}

// What a version holds, as SaveVersion writes it; a version's files never
// change, so it is read once while they stay. The blobs its pieces name are
// shared with other versions: they must still all be there.
Hash Content(const Workspace& ws, const Version& v) {
  static std::map<std::tuple<std::string, WholeIdentity, WholeIdentity>, Hash> known;
  const auto key =
      std::tuple(v.name, WholeIdentityOf(v.WholePath()), WholeIdentityOf(v.PiecesPath()));
  if (!known.contains(key)) {
    EXPECT_TRUE(SaveVersion(v, "saved.wav", "saved.part").ok()) << v.name;
    known[key] = HashOf(ws.Get("saved.wav"));
  } else if (!v.whole) {
    EXPECT_TRUE(CheckDescription(v.PiecesPath()).ok()) << v.name;
  }
  return known[key];
}

// The history as tolva lists and saves it, and the files in its folders that
// belong to no version of it (there must be none between commands).
History Observe(const Workspace& ws, Strings* strays) {
  History h;
  for (auto [folder, stack] :
       {std::pair{paths::kSnapshots, &h.snapshots}, {paths::kRedoSteps, &h.redo}}) {
    Strings files = {"working.pieces"};
    for (const Version& v : Versions(folder, false)) {
      stack->push_back(Content(ws, v));
      files.insert(files.end(), {v.name + ".wav", v.name + ".pieces"});
    }
    for (const std::string& file : ws.Names(folder, true))
      if (std::find(files.begin(), files.end(), file) == files.end()) strays->push_back(file);
  }
  if (ws.Has(paths::kWorking)) h.working = HashOf(ws.Working());
  if (ws.Has(paths::kStep)) strays->push_back(paths::kStep);
  return h;
}

struct Command {
  Kind kind;
  std::string text;  // the command file
};
const Command kUndo{Kind::kUndo, "666 0 0 0 0"}, kRedo{Kind::kRedo, "667 0 0 0 0"},
    kImport{Kind::kImport, "0 0 0 0 0"}, kExport{Kind::kExport, "999 0 0 0 0"};

// Commands drawn at random, with ranges that fit the working file (so an edit
// is carried out) and a clock that mostly stays within one second.
class Commands {
 public:
  explicit Commands(unsigned seed) : random_(seed) {}

  Command Next(const Workspace& ws) {
    const int draw = Pick(0, 99);
    if (draw < 40) return Edit(ws);
    if (draw < 48) return {Kind::kRefused, "4 1 1 0 0"};
    if (draw < 53) return {Kind::kRefused, std::to_string(Pick(15, 100)) + " 0 1 0 1"};
    if (draw < 57) {
      const int op = Pick(0, 2) == 0 ? -Pick(1, 5) : Pick(101, 1200);
      const bool taken = op == 666 || op == 667 || op == 999;
      return {Kind::kNothing, std::to_string(taken ? -3 : op) + " 0 1 0 1"};
    }
    return draw < 75 ? kUndo : draw < 90 ? kRedo : draw < 96 ? kImport : kExport;
  }

  // Seconds since 1970 for the next run: the same second mostly, sometimes
  // later, now and then hours back or a day ahead.
  int64_t Tick() {
    const int draw = Pick(0, 99);
    if (draw < 15) now_ += Pick(1, 3);
    if (draw >= 90 && draw < 96) now_ -= Pick(1, 7200);
    if (draw >= 96) now_ += 86400;
    return now_;
  }

  int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

 private:
  Command Edit(const Workspace& ws) {
    const int64_t seconds = ws.Has(paths::kWorking) ? HeaderOf(ws.Working()).Seconds : 0;
    const double length = static_cast<double>(seconds);
    // Tenths of a second: begin, an end up to half a second later.
    const double b = Pick(0, static_cast<int>(std::max(0.0, length - 0.5) * 10)) / 10.0;
    const double e = std::min(length, b + Pick(1, 5) / 10.0);
    if (seconds < 1) return {Kind::kEdit, "13 0 0.25 0.5 0"};  // no end check with a position
    // After the range (a move to a place inside it changes nothing), within
    // the working file for an insert or a mix.
    const double after = e + Pick(1, 10) / 10.0;
    const std::string r = " " + std::to_string(b) + " " + std::to_string(e) + " ",
                      at = std::to_string(after) + " 0",
                      within = " 0 0.5 " + std::to_string(std::min(length, after)) + " 0";
    const std::string edits[] = {
        "2" + r + "0 0.5", "3" + r + "0 0",   "4" + r + "0 0",  "6" + r + "0 1",  "7" + r + "0 2",
        "8" + r + "0 2",   "9" + r + "0 0.1", "11" + r + "0 1", "12" + r + "0 2", "13" + r + at,
        "14" + r + at,     "5" + within,      "10" + within};
    const int shrink = seconds > 6 ? 2 : 0;  // long files are cut back
    return {Kind::kEdit, edits[shrink ? 2 : Pick(0, std::size(edits) - 1)]};
  }

  std::mt19937 random_;
  int64_t now_ = 1796578205;  // 2026-12-06 17:30:05 UTC
};

class HistoryModel : public ::testing::TestWithParam<unsigned> {
 protected:
  HistoryModel() : ws_(BuildWav({.channels = 1, .rate = 8000}, Tones(3 * 8000, 1, 8000))) {
    ws_.Put("audio/res.mp3", Recording(0));
    ws_.Put("audio/res1.mp3", Recording(1));
    Strings strays;
    model_ = Observe(ws_, &strays);
  }

  static const Bytes& Recording(int which) {
    static const Bytes mp3[] = {EncodeMp3(Tones(3 * 8000, 1, 8000, 5000), 1, 8000),
                                EncodeMp3(Tones(2 * 8000, 2, 8000), 2, 8000)};
    return mp3[which];
  }

  // Runs `c` and checks the history against the model. With `random`, the run
  // is killed at a random moment: after a delay within a typical run, or just
  // before one of its changes to the file system. The history must then read,
  // once the next run has tidied up, as before the command, as after it, or
  // (for a command that takes a snapshot) with only the snapshot taken.
  void Check(const Command& c, int64_t now, Commands* random = nullptr) {
    SCOPED_TRACE(c.text);
    if (c.kind == Kind::kPlant) {
      const Bytes planted = BuildWav({.channels = 1, .rate = 8000}, Ramp(8000, 1));
      ws_.Put("audio/oldversions/output_2099_1_1_8_0_0.wav", planted);
      model_.snapshots.push_back(HashOf(planted));
      return;
    }
    RunOptions options = {.env = {"TOLVA_CLOCK=" + std::to_string(now)}};
    const bool at_a_change = random && random->Pick(0, 1) == 0;
    if (at_a_change)
      options.env = Faults({options.env[0], "TOLVA_KILL_AT=" + std::to_string(random->Pick(1, 8))});
    ws_.Put("audio/tolvaset.in", Bytes(c.text.begin(), c.text.end()));
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ws_.Start(options);
    if (random && !at_a_change) {
      const auto run = std::chrono::duration_cast<std::chrono::microseconds>(run_time_);
      std::this_thread::sleep_for(std::chrono::microseconds(random->Pick(0, run.count() + 200)));
      kill(pid, SIGKILL);
    }
    const RunResult r = ws_.Wait(pid);
    if (random) {
      fs::remove("audio/tolvaset.in");
      const RunResult tidied = ws_.RunBinary({.args = {"info"}});
      ASSERT_EQ(tidied.exit_code, 0) << tidied.err;
    } else {
      run_time_ = std::chrono::steady_clock::now() - start;
    }
    Strings strays;
    const History seen = Observe(ws_, &strays), after = After(model_, c.kind, seen.working);
    EXPECT_EQ(strays, Strings{});
    if (seen.working) {
      const Bytes working = ws_.Working();
      EXPECT_EQ(working.size(), HeaderOf(working).DataOffset + HeaderOf(working).DataSize);
    }
    if (random) {
      const bool snapshots =
          c.kind == Kind::kEdit || c.kind == Kind::kRefused || c.kind == Kind::kImport;
      EXPECT_TRUE(seen == model_ || seen == after ||
                  (snapshots && seen == After(model_, Kind::kRefused, {})));
    } else {
      const bool fails = !model_.working && (c.kind == Kind::kEdit || c.kind == Kind::kRefused ||
                                             c.kind == Kind::kExport);
      EXPECT_EQ(r.exit_code, fails ? 1 : 0) << r.err;
      EXPECT_EQ(r.err.empty(), !fails && after != model_ && c.kind != Kind::kRefused) << r.err;
      EXPECT_EQ(seen, after);
    }
    model_ = seen;
  }

  Workspace ws_;
  History model_;
  std::chrono::steady_clock::duration run_time_{};
};

// Seeds 1 to 3 run every command to its end; 4 and 5 kill a third of the runs.
TEST_P(HistoryModel, RandomCommandsKilledOrNotKeepEveryVersionOnceInOrder) {
  Commands commands(GetParam());
  for (int i = 0; i < kCommandsPerSeed && !HasFailure(); ++i) {
    if (GetParam() > 3) {
      const Command c = commands.Next(ws_);
      const bool killed = commands.Pick(0, 2) == 0;
      Check(c, commands.Tick(), killed ? &commands : nullptr);
    } else {
      if (commands.Pick(0, 20) == 0) ws_.Put("audio/res.mp3", Recording(commands.Pick(0, 1)));
      Check(commands.Next(ws_), commands.Tick());
    }
  }
}
INSTANTIATE_TEST_SUITE_P(Seed, HistoryModel, ::testing::Range(1u, 6u));

class HistorySequences : public HistoryModel {};

// A refused command's snapshot must not take the name of a redo step, and a
// snapshot from a clock that was ahead must not be taken for a newer one. The
// export clears the history as it finds it: links removed, not followed.
TEST_F(HistorySequences, SequencesThatOnceLostAVersion) {
  Commands clock(0);
  auto script = [&](std::initializer_list<Command> commands) {
    for (const Command& c : commands) Check(c, clock.Tick());
  };
  const Command edit{Kind::kEdit, "2 0 1 0 0.5"}, later{Kind::kEdit, "2 1 2 0 0.5"},
      refused{Kind::kRefused, "4 2 1 0 0"}, plant{Kind::kPlant, ""};
  script({edit, later, kUndo, refused, kUndo, kRedo, kRedo, kRedo, plant, edit, kUndo, kUndo,
          kImport, kUndo});
  fs::create_symlink("gone", "audio/oldversions/output_2030_1_1_8_0_0.wav");
  script({kExport, kUndo});
  EXPECT_EQ(ws_.AudioFiles(), (Strings{"output.mp3", "res.mp3", "res1.mp3"}));
}

}  // namespace
}  // namespace tolva::testing
