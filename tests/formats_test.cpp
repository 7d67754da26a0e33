#include <sndfile.h>

#include <bit>
#include <tuple>

#include "mp3_tools.h"

namespace tolva::testing {
namespace {

// A WAV image byte by byte: `bits` per sample, integers (format 1; 8-bit ones
// unsigned) or IEEE floats (format 3).
Bytes WavOf(int format, int bits, int channels, int rate, const std::vector<double>& values) {
  Bytes b = BuildWav({.channels = channels, .rate = rate, .bits = bits, .format = format}, {},
                     static_cast<int64_t>(values.size()) * bits / 8);
  for (double v : values) {
    const uint64_t u = format == 1  ? static_cast<uint64_t>(std::llround(v))
                       : bits == 64 ? std::bit_cast<uint64_t>(v)
                                    : std::bit_cast<uint32_t>(static_cast<float>(v));
    for (int i = 0; i < bits / 8; ++i) b.push_back(static_cast<uint8_t>(u >> 8 * i));
  }
  return b;
}

// The same image as RF64: sizes of 0xFFFFFFFF, the real ones in a ds64 chunk.
Bytes Rf64Of(Bytes wav) {
  const uint64_t data = wav.size() - 44;
  Bytes ds64 = {'d', 's', '6', '4', 28, 0, 0, 0};
  for (uint64_t v : {data + 36 + 36, data, data / (wav[32] | wav[33] << 8)})
    for (int i = 0; i < 8; ++i) ds64.push_back(static_cast<uint8_t>(v >> 8 * i));
  ds64.insert(ds64.end(), 4, 0);
  std::copy_n("RF64\xFF\xFF\xFF\xFF", 8, wav.begin());
  std::fill_n(wav.begin() + 40, 4, 0xFF);
  wav.insert(wav.begin() + 12, ds64.begin(), ds64.end());
  return wav;
}

// Opus, which the Debian tools here do not write, through libsndfile.
Bytes Opus(const Samples& stereo) {
  Workspace scratch;
  SF_INFO info{0, 48000, 2, SF_FORMAT_OGG | SF_FORMAT_OPUS, 0, 0};
  SNDFILE* f = sf_open("out.opus", SFM_WRITE, &info);
  sf_writef_short(f, stereo.data(), static_cast<sf_count_t>(stereo.size() / 2));
  sf_close(f);
  return scratch.Get("out.opus");
}

// 24-bit samples and their 16 bits: to the nearest, a half up, clipped at the top.
const std::vector<double> k24 = {0x7FFF80, -0x800000, 0x180, -0x180, 0x17F, -0x81, 0x123456, 0xFF};
const Samples k24As16 = {32767, -32768, 2, -1, 1, -1, 0x1234, 1};
// Floats beyond full scale clip; half a step rounds up.
const std::vector<double> kFloats = {1.5, -1.25, 0.5, -0.5, 1.0 / 65536, -1.0 / 65536};
const Samples kFloatsAs16 = {32767, -32768, 16384, -16384, 1, 0};

// Each format, from a file whose name says nothing, becomes the 44-byte-header
// 16-bit WAV of the expected frames (lossy ones: as long, close to the input).
TEST(FormatsImport, EachFormatImportsAsRounded16BitFramesAtItsOwnRate) {
  const Bytes wav24 = WavOf(1, 24, 2, 48000, k24);
  const Bytes flac24 = Converted(wav24, {"flac", "-s", "in.wav", "-o", "out.flac"});
  const Samples tone = Tones(24011, 2, 48000);
  const struct {
    const char* name;
    Bytes file;
    Samples want;
    int channels = 2, rate = 48000;
    bool lossy = false;
  } cases[] = {
      {"WAV, 24-bit", wav24, k24As16},
      {"WAVE_FORMAT_EXTENSIBLE", Converted(wav24, {"sox", "in.wav", "-t", "wav", "out.wav"}),
       k24As16},
      {"RF64", Rf64Of(wav24), k24As16},
      {"AIFF", Converted(wav24, {"sox", "in.wav", "out.aiff"}), k24As16},
      {"FLAC", flac24, k24As16},
      {"FLAC after an ID3v2 tag", Spliced(flac24, 0, {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 2, 0, 0}),
       k24As16},
      {"WAV, 32-bit",
       WavOf(1, 32, 2, 48000, {0x7FFF8000, -0x7FFFFFFF - 1, 0x18000, 0x17FFF}),
       {32767, -32768, 2, 1}},
      {"WAV, 8-bit", WavOf(1, 8, 1, 8000, {0, 255, 128}), {-32768, 32512, 0}, 1, 8000},
      {"WAV, 32-bit float", WavOf(3, 32, 2, 192000, kFloats), kFloatsAs16, 2, 192000},
      {"WAV, 64-bit float", WavOf(3, 64, 1, 44100, kFloats), kFloatsAs16, 1, 44100},
      {"Ogg Vorbis", Converted(BuildWav({.rate = 48000}, tone), {"sox", "in.wav", "out.ogg"}), tone,
       2, 48000, true},
      {"Opus", Opus(tone), tone, 2, 48000, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Workspace ws(TenSeconds());
    ws.Put("recording", c.file);
    const RunResult r = ws.RunBinary({.args = {"import", "recording"}});
    EXPECT_EQ(std::tie(r.exit_code, r.err), std::make_tuple(0, ""));
    const Samples got = SamplesOf(ws.Working());
    EXPECT_EQ(ws.Working(), BuildWav({.channels = c.channels, .rate = c.rate}, got));
    EXPECT_EQ(got.size(), c.want.size());
    EXPECT_GE(SnrDb(c.want, got), 20);
    if (!c.lossy) {
      EXPECT_EQ(got, c.want);
    }
    EXPECT_EQ(ws.Snapshots().size(), 1u);
  }
}

// A recording that breaks off imports what decodes: a WAV's frames to the end
// of the file, whatever its header says (as sox takes them); a FLAC's whole
// blocks of 4096 frames to the damage, with a warning (libFLAC may give a
// broken block as silence). What has nothing to decode, or cannot be read,
// fails and changes nothing.
TEST(FormatsImport, DamagedRecordingsImportWhatDecodesOrNothing) {
  const Samples ramp = Ramp(40000, 2);
  const Bytes wav = BuildWav({.rate = 44100}, ramp);
  const Bytes flac = Converted(wav, {"flac", "-s", "in.wav", "-o", "out.flac"});
  Bytes broken = flac;
  std::fill_n(broken.begin() + broken.size() / 2, 300, 0x5A);
  Bytes lying = Slice(wav, 0, 44 + 4 * 1000 + 3);
  lying[40] = 0xF0, lying[43] = 0x7F;
  const std::string kDamaged = "tolva: warning: in.bin is damaged or cut short (";
  // name, file, exit status, start of the message, frames of the ramp it starts with
  const std::tuple<const char*, Bytes, int, std::string, size_t> cases[] = {
      {"WAV cut short, its size a lie", lying, 0, "", 1000},
      {"FLAC cut short", Slice(flac, 0, flac.size() / 2), 0, kDamaged, 4096},
      {"FLAC with a broken frame", broken, 0, kDamaged, 4096},
      {"WAV header alone", Slice(wav, 0, 44), 1, "tolva: in.bin holds no audio\n", 0},
      {"WAV header cut", Slice(wav, 0, 30), 1, "tolva: in.bin cannot be read as WAV: ", 0},
      {"FLAC header alone", Slice(flac, 0, 42), 1,
       "tolva: in.bin holds none of the 0:00.907 of audio its header announces\n", 0},
      {"empty", {}, 1, "tolva: in.bin is empty\n", 0},
      {"three channels", WavOf(1, 16, 3, 8000, {1, 2, 3}), 1, "tolva: in.bin has 3 channels; ", 0},
      {"4000 Hz", WavOf(1, 16, 1, 4000, {1}), 1, "tolva: in.bin is at 4000 Hz; ", 0},
      {"text", Bytes(100, 'a'), 1,
       "tolva: in.bin is not a recording tolva can read (MP3, WAV, FLAC, Ogg Vorbis, Opus, "
       "AIFF)\n",
       0}};
  for (const auto& [name, file, exit_code, err, frames] : cases) {
    SCOPED_TRACE(name);
    Workspace ws(TenSeconds());
    ws.Put("in.bin", file);
    const RunResult r = ws.RunBinary({.args = {"import", "in.bin"}});
    EXPECT_EQ(std::make_tuple(r.exit_code, r.err.empty()), std::make_tuple(exit_code, err.empty()));
    EXPECT_EQ(r.err.substr(0, err.size()), err);
    EXPECT_EQ(ws.AudioFiles(), (Strings{"oldversions", "output.wav"}));
    EXPECT_EQ(ws.Working() == TenSeconds(), frames == 0);
    if (frames == 0) continue;
    const Samples got = SamplesOf(ws.Working());
    ASSERT_GE(got.size(), frames * 2);
    EXPECT_LE(got.size(), err.empty() ? frames * 2 : ramp.size() - 4096 * 2);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + frames * 2, ramp.begin()));
  }
}

// Insert and mix read the second recording by its content too: a mono FLAC
// into the stereo working file, each frame on both channels.
TEST(FormatsImport, InsertTakesARangeOfAFlacRecording) {
  Workspace ws(TenSeconds());
  const Samples second = Ramp(16000, 1), working = SamplesOf(TenSeconds());
  ws.Put("second.flac", Converted(BuildWav({.channels = 1, .rate = 8000}, second),
                                  {"flac", "-s", "in.wav", "-o", "out.flac"}));
  const RunResult r = ws.RunBinary({.args = {"insert", "second.flac", "1", "2", "3"}});
  EXPECT_EQ(std::tie(r.exit_code, r.err), std::make_tuple(0, ""));
  Samples want = Pick(working, 2, Span(0, 24000)), rest = Pick(working, 2, Span(24000, 84000));
  for (int64_t f = 8000; f < 16000; ++f) want.insert(want.end(), 2, second[f]);
  want.insert(want.end(), rest.begin(), rest.end());
  EXPECT_EQ(SamplesOf(ws.Working()), want);
  EXPECT_EQ(ws.AudioFiles(), (Strings{"oldversions", "output.wav"}));
}

// `export FILE` writes what the extension names, in any case (FLAC that flac
// decodes back byte for byte; a copy for .wav), then clears the workspace.
// Another name is a usage error, a file in audio/ a refusal.
TEST(FormatsExport, WritesWhatTheExtensionNamesThenClearsTheWorkspace) {
  const std::pair<const char*, int> cases[] = {
      {"out.FLAC", 0}, {"out.wav", 0}, {"out.ogg", 2}, {"out", 2}, {"audio/out.flac", 3}};
  for (const auto& [file, exit_code] : cases) {
    SCOPED_TRACE(file);
    Workspace ws(TenSeconds());
    const RunResult r = ws.RunBinary({.args = {"export", file}});
    EXPECT_EQ(r.exit_code, exit_code) << r.err;
    EXPECT_EQ(ws.AudioFiles(), exit_code == 0 ? Strings{} : Strings{"output.wav"});
    if (exit_code != 0) continue;
    if (std::string(file) == "out.FLAC") {
      EXPECT_EQ(RunProgram({"flac", "-d", "-s", "-o", "out.wav", file}), 0);
    }
    EXPECT_EQ(ws.Get("out.wav"), TenSeconds());
  }
}

}  // namespace
}  // namespace tolva::testing
