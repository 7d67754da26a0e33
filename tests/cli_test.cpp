#include "cli.h"

#include <sstream>

#include "driver.h"
#include "inspect.h"
#include "mp3_tools.h"
#include "progress.h"
#include "times.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

Strings Words(const std::string& text) {
  std::istringstream in(text);
  return Strings(std::istream_iterator<std::string>(in), {});
}

// What `c`, five numbers and then the same edit as words of the command line,
// leaves when it runs as a command file (which ignores the words) or a command line.
using Outcome = std::tuple<int, std::string, Bytes, Bytes, size_t>;
Outcome RunIn(const char* c, bool line) {
  static const Bytes second = EncodeMp3(Tones(3 * 8000, 1, 8000), 1, 8000);
  Workspace ws(TenSeconds());
  ws.Put("audio/res.mp3", second);
  ws.Put("audio/res1.mp3", second);
  const Strings words = Words(c);
  RunResult r = line ? ws.RunBinary({.args = Strings(words.begin() + 5, words.end())}) : ws.Run(c);
  auto get = [&](const char* file) { return ws.Has(file) ? ws.Get(file) : Bytes{}; };
  return {r.exit_code, r.err, get("audio/output.wav"), get("audio/output.mp3"),
          ws.Snapshots().size()};
}

TEST(CommandLine, EachSubcommandDoesWhatItsOpCodeDoes) {
  for (const char* c :
       {"0 0 0 0 0 import audio/res.mp3", "0 0 0 0 0 import", "2 1 2 0 0.5 volume 0:01 2 0.5",
        "3 1 2.5 0 0 reverse 1.0 0:02.5", "4 1 2 0 0 cut 1. 2",
        "5 0 1 3 0 insert audio/res1.mp3 0 1 3", "6 1 2 0 1 silence 1 2 right",
        "7 1 3 0 2 speedup 1 3 2", "8 1 2 0 3 slowdown 1 2 3", "9 1 2 0 0.5 echo 1 2 .5",
        "10 0 2 1 0 mix audio/res1.mp3 0 2 1", "11 1 2 0 2 pitch 1 2 2", "12 1 2 0 2 stretch 1 2 2",
        "13 1 2 5 0 repeat 1 2 5", "14 1 2 5 0 move 1 2 0:05",
        "666 0 0 0 0 undo" /* refused: no snapshot */, "4 5 2 0 0 cut 5 2" /* empty range */,
        "999 0 0 0 0 export"}) {
    Outcome file = RunIn(c, false);
    // A refusal exits with 0 for the front end, with 3 on the command line.
    if (std::get<1>(file).find("refused") != std::string::npos) std::get<0>(file) = 3;
    EXPECT_EQ(RunIn(c, true), file) << c;
  }
}

// Help lists every operation of the dispatch table, each with its example.
TEST(CommandLine, HelpListsEveryOperationWithArgumentsAndExample) {
  Workspace ws;
  Strings names = {"info", "history", "waveform"};
  for (const Operation& op : Operations()) names.push_back(op.SubcommandName());
  const std::string all = ws.RunBinary({.args = {"--help"}}).out;
  for (const std::string& name : names) {
    EXPECT_NE(all.find("\n  " + name + " "), std::string::npos) << name;
    const std::string one = ws.RunBinary({.args = {name, "--help"}}).out;
    EXPECT_NE(one.find("Example:\n  tolva " + name), std::string::npos) << one;
  }
  EXPECT_EQ(ws.RunBinary({.args = {"--version"}}).out, "tolva " TOLVA_VERSION "\n");
}

TEST(CommandLine, UsageErrorsExitWithTwoAndTouchNothing) {
  for (const char* args : {"bogus", "volume 1 2", "volume 1:75 2 0.5", "speedup 1 2 2.5",
                           "waveform w.png --range 3 1", "waveform", "-C nowhere info"}) {
    Workspace ws(TenSeconds());
    RunResult r = ws.RunBinary({.args = Words(args)});
    EXPECT_EQ(r.exit_code, 2) << args;
    EXPECT_NE(r.err.find("usage: tolva"), std::string::npos) << r.err;
    EXPECT_EQ(ws.AudioFiles(), Strings{"output.wav"}) << args;
    EXPECT_EQ(ws.Working(), TenSeconds());
  }
}

TEST(CommandLine, WorksInTheFolderOfDashCAndNeverChangesTheFileItReads) {
  Workspace ws;
  const Bytes mp3 = EncodeMp3(Tones(8000, 2, 8000), 2, 8000);
  ws.Put("song.mp3", mp3);
  fs::create_directories(ws.root() / "project");  // no workspace there yet
  RunResult r = ws.RunBinary({.args = {"-C", "project", "import", "../song.mp3"}});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ws.Get("song.mp3"), mp3);
  EXPECT_TRUE(ws.Has("project/audio/output.wav"));
  for (const std::string& inside :
       Strings{"audio/oldversions/x.mp3", std::string(300, 'a') + "/x.mp3"}) {
    EXPECT_EQ(ws.RunBinary({.args = {"-C", "project", "export", inside}}).exit_code, 3);
  }
  EXPECT_TRUE(ws.Has("project/audio/output.wav"));
}

// Times back in UTC (the name's hour is 8 ahead); every version counted and
// listed, damaged ones too, numbered for --save; hours only from an hour on.
TEST(CommandLine, InfoAndHistoryDescribeTheWorkspaceInTimesAsPeopleWriteThem) {
  Workspace ws(TenSeconds());
  fs::create_directories("audio/oldversions/redo");
  const Bytes older = BuildWav({.rate = 8000}, Ramp(10000, 2));
  ws.Put("audio/oldversions/output_2026_1_2_11_4_5.wav", older);
  ws.Put("audio/oldversions/output_2026_1_2_11_4_5_1.wav", Bytes(8, 'x'));
  ws.Put("audio/oldversions/redo/output_2026_1_1_8_0_0.wav", TenSeconds());
  EXPECT_EQ(ws.RunBinary({.args = {"info"}}).out,
            "working file: audio/output.wav\nformat: 16-bit PCM, stereo, 8000 Hz\n"
            "length: 0:10.500 (84000 frames)\nsnapshots: 2\nredo steps: 1\n");
  EXPECT_EQ(ws.RunBinary({.args = {"history"}}).out,
            " r1  output_2026_1_1_8_0_0        2026-01-01 00:00:00 UTC  0:10.500\n"
            "     (working file)                                        0:10.500\n"
            "  1  output_2026_1_2_11_4_5_1     2026-01-02 03:04:05 UTC  unreadable\n"
            "  2  output_2026_1_2_11_4_5       2026-01-02 03:04:05 UTC  0:01.250\n");
  const std::pair<const char*, int> saves[] = {
      {"2 two.wav", 0}, {"r1 r1.wav", 0}, {"3 none.wav", 3}, {"2 audio/x.wav", 3}, {"1 bad.wav", 1},
  };
  for (const auto& [save, status] : saves)
    EXPECT_EQ(ws.RunBinary({.args = Words(std::string("history --save ") + save)}).exit_code,
              status)
        << save;
  EXPECT_EQ(ws.Get("two.wav"), older);
  EXPECT_EQ(ws.Get("r1.wav"), TenSeconds());
  EXPECT_FALSE(ws.Has("none.wav") || ws.Has("audio/x.wav") || ws.Has("bad.wav"));
  const std::tuple<double, int, bool, const char*> times[] = {
      {3725.5, 3, false, "1:02:05.500"}, {59.9996, 3, false, "1:00.000"},
      {3599.6, 0, false, "1:00:00"},     {-2, 1, false, "0:00.0"},
      {5, 0, true, "0:00:05"},
  };
  for (const auto& [seconds, decimals, hours, text] : times)
    EXPECT_EQ(ClockTime(seconds, decimals, hours), text);
  const std::pair<const char*, double> reads[] = {
      {"180:00", 10800},
      {"1:02:05.500", 3725.5},
      {"3:00:00.5", 10800.5},
  };
  double read = -1;
  for (auto [text, seconds] : reads) {
    EXPECT_TRUE(ParseTime(text, &read)) << text;
    EXPECT_EQ(read, seconds) << text;
  }
  for (const char* not_a_time : {"1:75", "1:3", "1:60", "1:5a", ":30", "1:60:00", "1:5:00",
                                 "1:00:00:00", "1e3", "1.2.3", "inf", "0x10", "1:30.5.", "1:30.5e"})
    EXPECT_FALSE(ParseTime(not_a_time, &read)) << not_a_time;
}

// An edit counts data bytes, the export frames, the import MP3 bytes.
TEST(CommandLine, EditExportAndImportReportProgressToTheEnd) {
  static std::pair<int64_t, int64_t> last;
  Workspace ws(TenSeconds());
  SetProgressListener([](int64_t done, int64_t total) { last = {done, total}; });
  for (const Command& c :
       {Command{.op = 2, .begin = 1, .end = 2, .amount = 0.5},
        Command{.op = 999, .file = "res.mp3"}, Command{.op = 0, .file = "res.mp3"}}) {
    last = {-1, -1};
    EXPECT_TRUE(RunCommand(c).ok());
    EXPECT_TRUE(last.second > 0 && last.first == last.second) << "op " << c.op;
  }
  SetProgressListener(nullptr);
}

}  // namespace
}  // namespace tolva::testing
