#pragma once

// MP3 inputs for tests, made by the project's own export, and an independent
// libmpg123 decode to check MP3 outputs with.

#include <mpg123.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "codec.h"
#include "wav_builder.h"

namespace tolva::testing {

// A folder of its own under /tmp, removed with the object.
class TempFolder {
 public:
  TempFolder() {
    char pattern[] = "/tmp/tolva-mp3-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot create a temporary folder");
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  std::filesystem::path operator/(const char* name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// The MP3 the export makes of a 16-bit WAV holding `samples`.
inline Bytes EncodeMp3(const Samples& samples, int channels, int rate) {
  TempFolder folder;
  WavLayout layout;
  layout.channels = channels;
  layout.rate = rate;
  WriteBytes(folder / "in.wav", BuildWav(layout, samples));
  Status s = EncodeMp3File(folder / "in.wav", folder / "out.mp3", folder / "out.part");
  if (!s.ok()) throw std::runtime_error("cannot encode the test MP3: " + s.message());
  return ReadBytes(folder / "out.mp3");
}

// Every sample libmpg123 decodes from `mp3` with its default settings (gapless
// trimming off, which streams without an encoder tag do not use anyway).
// Throws when the stream changes format midway or cannot be decoded.
inline Samples DecodeMp3(const Bytes& mp3, int* channels, int* rate) {
  TempFolder folder;
  WriteBytes(folder / "in.mp3", mp3);
  mpg123_init();
  mpg123_handle* h = mpg123_new(nullptr, nullptr);
  mpg123_param(h, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
  mpg123_param(h, MPG123_REMOVE_FLAGS, MPG123_GAPLESS, 0);
  mpg123_format_none(h);
  const long* rates = nullptr;
  size_t count = 0;
  mpg123_rates(&rates, &count);
  for (size_t i = 0; i < count; ++i)
    mpg123_format(h, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
  Samples out;
  long r = 0;
  int c = 0, enc = 0;
  std::string error;
  if (mpg123_open(h, (folder / "in.mp3").c_str()) != MPG123_OK) error = "cannot open";
  bool have_format = false;
  std::vector<unsigned char> buffer(1 << 16);
  while (error.empty()) {
    size_t done = 0;
    int result = mpg123_read(h, buffer.data(), buffer.size(), &done);
    if (result == MPG123_NEW_FORMAT) {
      long nr;
      int nc;
      mpg123_getformat(h, &nr, &nc, &enc);
      if (have_format && (nr != r || nc != c)) error = "format changes midway";
      r = nr;
      c = nc;
      have_format = true;
    } else if (result != MPG123_OK && result != MPG123_DONE) {
      error = mpg123_strerror(h);
    }
    const int16_t* s = reinterpret_cast<const int16_t*>(buffer.data());
    out.insert(out.end(), s, s + done / 2);
    if (result == MPG123_DONE) break;
  }
  mpg123_close(h);
  mpg123_delete(h);
  if (!error.empty()) throw std::runtime_error("libmpg123: " + error);
  *channels = c;
  *rate = static_cast<int>(r);
  return out;
}

// One frame header of an MP3 stream, field by field.
struct Mp3Frame {
  size_t offset = 0;
  int version = 0;  // 1, 2, or 25 for MPEG-2.5
  int layer = 0;
  bool crc = false;
  int kbps = 0;
  int rate = 0;
  bool padding = false;
  int mode = 0;
  int mode_extension = 0;
  bool copyright = false;
  bool original = false;
  int emphasis = 0;
  int length = 0;           // bytes the header declares
  int main_data_begin = 0;  // from the side information
  int samples = 0;          // per channel
};

// Walks `mp3` frame by frame by the lengths the headers declare. Fails (sets
// `*error`) at bytes that are no Layer III header and when the last frame does
// not end exactly at the end of the stream.
inline std::vector<Mp3Frame> ParseFrames(const Bytes& mp3, std::string* error) {
  static const int kMpeg1Kbps[16] = {0,   32,  40,  48,  56,  64,  80,  96,
                                     112, 128, 160, 192, 224, 256, 320, -1};
  static const int kMpeg2Kbps[16] = {0,  8,  16, 24,  32,  40,  48,  56,
                                     64, 80, 96, 112, 128, 144, 160, -1};
  static const int kRates[3][4] = {
      {44100, 48000, 32000, -1}, {22050, 24000, 16000, -1}, {11025, 12000, 8000, -1}};
  std::vector<Mp3Frame> frames;
  size_t at = 0;
  error->clear();
  while (at < mp3.size()) {
    if (mp3.size() - at < 6 || mp3[at] != 0xFF || (mp3[at + 1] & 0xE0) != 0xE0) {
      *error = "no frame header at byte " + std::to_string(at);
      return frames;
    }
    const uint8_t* h = &mp3[at];
    Mp3Frame f;
    f.offset = at;
    const int version_bits = (h[1] >> 3) & 3;
    f.version = version_bits == 3 ? 1 : version_bits == 2 ? 2 : version_bits == 0 ? 25 : 0;
    f.layer = 4 - ((h[1] >> 1) & 3);
    f.crc = (h[1] & 1) == 0;
    f.kbps = (f.version == 1 ? kMpeg1Kbps : kMpeg2Kbps)[h[2] >> 4];
    f.rate = kRates[f.version == 1 ? 0 : f.version == 2 ? 1 : 2][(h[2] >> 2) & 3];
    f.padding = (h[2] >> 1) & 1;
    f.mode = h[3] >> 6;
    f.mode_extension = (h[3] >> 4) & 3;
    f.copyright = (h[3] >> 3) & 1;
    f.original = (h[3] >> 2) & 1;
    f.emphasis = h[3] & 3;
    if (f.version == 0 || f.layer != 3 || f.kbps <= 0 || f.rate <= 0) {
      *error = "not a Layer III header at byte " + std::to_string(at);
      return frames;
    }
    f.samples = f.version == 1 ? 1152 : 576;
    f.length = f.samples / 8 * 1000 * f.kbps / f.rate + (f.padding ? 1 : 0);
    const size_t side = at + 4 + (f.crc ? 2 : 0);
    f.main_data_begin = f.version == 1 ? (mp3[side] << 1 | mp3[side + 1] >> 7) : mp3[side];
    frames.push_back(f);
    at += static_cast<size_t>(f.length);
  }
  if (at != mp3.size())
    *error = "the last frame runs " + std::to_string(at - mp3.size()) + " bytes past the end";
  return frames;
}

// Total samples per channel of the frames.
inline int64_t FrameSamples(const std::vector<Mp3Frame>& frames) {
  int64_t n = 0;
  for (const Mp3Frame& f : frames) n += f.samples;
  return n;
}

// Two tones per channel, well inside the band of every MP3 sample rate.
inline Samples Tones(int64_t frames, int channels, int rate, double amplitude = 8000) {
  Samples s(static_cast<size_t>(frames * channels));
  const double kPi = 3.14159265358979323846;
  for (int64_t f = 0; f < frames; ++f) {
    for (int c = 0; c < channels; ++c) {
      double t = static_cast<double>(f) / rate;
      double v = amplitude * (0.6 * std::sin(2 * kPi * (440 + 110 * c) * t) +
                              0.4 * std::sin(2 * kPi * 1000 * t + c));
      s[static_cast<size_t>(f * channels + c)] = static_cast<int16_t>(std::lround(v));
    }
  }
  return s;
}

// How closely `decoded`, `delay` frames late, follows `original` over the
// original's length: signal to residual in dB after the best fitting gain (the
// encoder may change the level), and that gain.
struct Match {
  double snr_db = 0;
  double gain = 0;
};
inline Match Compare(const Samples& original, const Samples& decoded, int channels, int64_t delay) {
  const int64_t frames = static_cast<int64_t>(original.size()) / channels;
  double xx = 0, xy = 0, yy = 0;
  for (int64_t f = 0; f < frames; ++f) {
    for (int c = 0; c < channels; ++c) {
      size_t at = static_cast<size_t>((f + delay) * channels + c);
      double x = original[static_cast<size_t>(f * channels + c)];
      double y = at < decoded.size() ? decoded[at] : 0.0;
      xx += x * x;
      xy += x * y;
      yy += y * y;
    }
  }
  Match m;
  if (xx == 0) return m;
  m.gain = xy / xx;
  double residual = yy - 2 * m.gain * xy + m.gain * m.gain * xx;
  m.snr_db = 10 * std::log10(m.gain * m.gain * xx / std::max(residual, 1e-9));
  return m;
}

// The delay (in frames, up to `most`) at which `decoded` follows `original` best.
inline int64_t BestDelay(const Samples& original, const Samples& decoded, int channels,
                         int64_t most) {
  int64_t best = 0;
  double best_snr = -1e9;
  for (int64_t d = 0; d <= most; ++d) {
    double snr = Compare(original, decoded, channels, d).snr_db;
    if (snr > best_snr) {
      best_snr = snr;
      best = d;
    }
  }
  return best;
}

}  // namespace tolva::testing
