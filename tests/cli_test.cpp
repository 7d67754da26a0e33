#include "cli.h"

#include <png.h>

#include <fstream>
#include <sstream>

#include "driver.h"
#include "inspect.h"
#include "mp3_tools.h"
#include "progress.h"
#include "waveform.h"
#include "workspace_fixture.h"

namespace tolva::testing {
namespace {

Strings Words(const std::string& text) {
  std::istringstream in(text);
  return Strings(std::istream_iterator<std::string>(in), {});
}

// Exit status, standard error, working file, export and snapshot count after
// `c` (five numbers, then the same edit as words of the command line) runs as
// a command file (the words after the numbers are ignored) or a command line.
using Outcome = std::tuple<int, std::string, Bytes, Bytes, size_t>;
Outcome RunIn(const char* c, bool line) {
  static const Bytes second = EncodeMp3(Tones(3 * 8000, 1, 8000), 1, 8000);
  Workspace ws;
  ws.PutWorking(TenSeconds());
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
       {"0 0 0 0 0 import audio/res.mp3", "2 1 2 0 0.5 volume 0:01 2 0.5",
        "3 1 2.5 0 0 reverse 1 0:02.5", "4 1 2 0 0 cut 1 2",
        "5 0 1 3 0 insert audio/res1.mp3 0 1 3", "6 1 2 0 1 silence 1 2 right",
        "7 1 3 0 2 speedup 1 3 2", "8 1 2 0 3 slowdown 1 2 3", "9 1 2 0 0.5 echo 1 2 0.5",
        "10 0 2 1 0 mix audio/res1.mp3 0 2 1", "11 1 2 0 2 pitch 1 2 2", "12 1 2 0 2 stretch 1 2 2",
        "13 1 2 5 0 repeat 1 2 5", "14 1 2 5 0 move 1 2 5",
        "666 0 0 0 0 undo" /* refused: no snapshot */, "4 5 2 0 0 cut 5 2" /* empty range */,
        "999 0 0 0 0 export"}) {
    Outcome file = RunIn(c, false);
    // A refusal exits with 0 for the front end, with 3 on the command line.
    if (std::get<1>(file).find("refused") != std::string::npos) std::get<0>(file) = 3;
    EXPECT_EQ(RunIn(c, true), file) << c;
  }
}

// Help and the README's op table (what the front end's developers read) list
// every operation of the dispatch table.
TEST(CommandLine, HelpAndReadmeListEveryOperationWithArgumentsAndExample) {
  Workspace ws;
  Strings names = {"info", "history", "waveform"};
  std::stringstream readme;
  readme << std::ifstream(TOLVA_SOURCE_DIR "/README.md").rdbuf();
  for (const Operation& op : Operations()) {
    names.push_back(op.SubcommandName());
    const std::string row = "| " + std::to_string(op.op) + " | " + op.name + " | " + op.summary;
    EXPECT_NE(readme.str().find(row + " |"), std::string::npos) << row;
  }
  RunResult all = ws.RunBinary({.args = {"--help"}});
  EXPECT_EQ(all.exit_code, 0);
  for (const std::string& name : names) {
    EXPECT_NE(all.out.find("\n  " + name + " "), std::string::npos) << name;
    RunResult one = ws.RunBinary({.args = {name, "--help"}});
    EXPECT_EQ(one.exit_code, 0) << name;
    EXPECT_NE(one.out.find("Usage: tolva " + name), std::string::npos) << one.out;
    EXPECT_NE(one.out.find("Example:\n  tolva " + name), std::string::npos) << one.out;
  }
  EXPECT_EQ(ws.RunBinary({.args = {"--version"}}).out, "tolva " TOLVA_VERSION "\n");
}

TEST(CommandLine, UsageErrorsExitWithTwoAndTouchNothing) {
  for (const char* args : {"bogus", "volume 1 2", "volume 1:75 2 0.5", "speedup 1 2 2.5",
                           "waveform", "waveform w.png --range 3 1", "-C nowhere info"}) {
    Workspace ws;
    ws.PutWorking(TenSeconds());
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
  EXPECT_EQ(
      ws.RunBinary({.args = {"-C", "project", "export", "audio/oldversions/x.mp3"}}).exit_code, 3);
  EXPECT_TRUE(ws.Has("project/audio/output.wav"));
}

// Snapshot times back in UTC (the name's hour is 8 ahead); every snapshot
// counted, damaged ones too; hours only from an hour on.
TEST(CommandLine, InfoAndHistoryDescribeTheWorkspace) {
  Workspace ws;
  ws.PutWorking(TenSeconds());
  fs::create_directories("audio/oldversions/redo");
  ws.Put("audio/oldversions/output_2026_1_2_11_4_5.wav", BuildWav({.rate = 8000}, Ramp(10000, 2)));
  ws.Put("audio/oldversions/output_2026_1_2_11_4_5_1.wav", Bytes(8, 'x'));
  ws.Put("audio/oldversions/redo/output_2026_1_1_8_0_0.wav", TenSeconds());
  EXPECT_EQ(ws.RunBinary({.args = {"info"}}).out,
            "working file: audio/output.wav\nformat: 16-bit PCM, stereo, 8000 Hz\n"
            "length: 0:10.500 (84000 frames)\nsnapshots: 2\nredo steps: 1\n");
  EXPECT_EQ(ws.RunBinary({.args = {"history"}}).out,
            "output_2026_1_2_11_4_5_1.wav  2026-01-02 03:04:05 UTC  unreadable\n"
            "output_2026_1_2_11_4_5.wav  2026-01-02 03:04:05 UTC  0:01.250\n");
  EXPECT_EQ(ClockTime(3725.5), "1:02:05.500");
}

TEST(CommandLine, ReadsTimesAsSecondsOrMinutesAndSeconds) {
  const std::pair<const char*, double> good[] = {{"90.5", 90.5}, {"1:30.5", 90.5}, {"0:05", 5},
                                                 {"10:00", 600}, {".5", 0.5},      {"7.", 7}};
  for (auto [text, want] : good) {
    double got = -1;
    EXPECT_TRUE(ParseTime(text, &got)) << text;
    EXPECT_EQ(got, want) << text;
  }
  for (const char* bad : {"", "1:3", "1:60", "1:5a", ":30", "1:30:00", "-1", "1e3", "1.2.3", "inf",
                          "0x10", "1:30.5.", " 5"}) {
    double got = 0;
    EXPECT_FALSE(ParseTime(bad, &got)) << bad;
  }
}

// Sixteen seconds over 400 columns: a label of four 8-pixel glyphs and 16
// pixels of air take 48 columns, so the ruler ticks every 2 s (50 columns).
TEST(CommandLine, WaveformDrawsSilenceFlatFullScaleAcrossItsLaneAndARuler) {
  Samples square(128000);
  for (size_t i = 0; i < square.size(); ++i) square[i] = i / 10 % 2 ? 32767 : -32768;
  const std::pair<Samples, int> cases[] = {{Samples(128000, 0), 1}, {square, 60 - kRulerHeight}};
  // The labels 0:06 and 0:08, one character per glyph pixel (2 x 2 pixels).
  const char* labels[] = {
      "###.....###.###..........###.....###.###", "#.#..#..#.#.#............#.#..#..#.#.#.#",
      "#.#.....#.#.###..........#.#.....#.#.###", "#.#..#..#.#.#.#..........#.#..#..#.#.#.#",
      "###.....###.###..........###.....###.###"};
  for (const auto& [samples, rows] : cases) {
    Workspace ws;
    ws.PutWorking(BuildWav({.channels = 1, .rate = 8000}, samples));
    ws.RunBinary({.args = {"waveform", "w.png", "--width", "400", "--height", "60"}});
    png_image image{};  // 400 x 60, row by row
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, (ws.root() / "w.png").c_str()));
    EXPECT_EQ(image.width * 1000 + image.height, 400060u);
    image.format = PNG_FORMAT_RGB;
    std::vector<Rgb> pixels(PNG_IMAGE_SIZE(image) / 3);
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
    auto ink = [&](int x, int y) { return pixels[y * 400 + x] != Rgb{255, 255, 255}; };
    int wave = 0;
    for (int y = 0; y < 60; ++y) wave += pixels[y * 400 + 25] == kWaveColour;
    EXPECT_EQ(wave, rows);
    std::vector<int> ticks;  // inked columns of a row of the ruler above its labels
    for (int x = 0; x < 400; ++x)
      if (ink(x, 63 - kRulerHeight)) ticks.push_back(x);
    EXPECT_EQ(ticks, (std::vector<int>{0, 50, 100, 150, 200, 250, 300, 350}));
    for (int y = 0; y < 5; ++y) {
      std::string row;
      for (int x = 0; x < 40; ++x) row += ink(152 + 2 * x, 67 - kRulerHeight + 2 * y) ? '#' : '.';
      EXPECT_EQ(row, labels[y]);
    }
  }
}

// Six columns for four frames: some columns hold no frame of their own.
TEST(CommandLine, PeaksHoldEachColumnsMinimumAndMaximum) {
  const std::pair<const char*, const char*> cases[] = {
      {"3", "[[[1, 1], [-2, -2], [-4, 3]], [[-1, -1], [2, 2], [-3, 4]]]"},
      {"6",
       "[[[1, 1], [1, 1], [-2, -2], [3, 3], [3, 3], [-4, -4]], "
       "[[-1, -1], [-1, -1], [2, 2], [-3, -3], [-3, -3], [4, 4]]]"}};
  for (auto [width, peaks] : cases) {
    Workspace ws;
    ws.PutWorking(BuildWav({.channels = 2, .rate = 8000}, {1, -1, -2, 2, 3, -3, -4, 4}));
    ws.RunBinary({.args = {"waveform", "--peaks", "p.json", "--width", width}});
    const Bytes json = ws.Get("p.json");
    EXPECT_EQ(std::string(json.begin(), json.end()),
              std::string("{\"sample_rate\": 8000, \"frames\": 4, \"width\": ") + width +
                  ", \"channels\": " + peaks + "}\n");
  }
}

// An edit counts data bytes, the export frames, the import MP3 bytes.
TEST(CommandLine, EditExportAndImportReportProgressToTheEnd) {
  static int64_t done = 0, total = 0;
  Workspace ws;
  ws.PutWorking(TenSeconds());
  SetProgressListener([](int64_t d, int64_t t) { done = d, total = t; });
  for (const Command& c :
       {Command{.op = 2, .begin = 1, .end = 2, .amount = 0.5},
        Command{.op = 999, .file = "res.mp3"}, Command{.op = 0, .file = "res.mp3"}}) {
    done = total = -1;
    EXPECT_TRUE(RunCommand(c).ok());
    EXPECT_GT(total, 0);
    EXPECT_EQ(done, total) << "op " << c.op;
  }
  SetProgressListener(nullptr);
}

}  // namespace
}  // namespace tolva::testing
