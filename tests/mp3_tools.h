#pragma once

// MP3s from the export and from other encoders, and mpg123's decoding to check them by.

#include <cmath>
#include <string>

#include "codec.h"
#include "workspace_fixture.h"

namespace tolva::testing {

// libshine's analysis (528) and a decoder's synthesis (529) delay the audio of
// a stream that records no delay by this many frames.
constexpr int64_t kMp3Delay = 1057;
// One encode of Tones() measures 39 dB (stereo at 64 kbit/s, MPEG-2.5) to
// 67 dB; the same stream one sample out of place measures under 22 dB.
constexpr double kMinMp3SnrDb = 35;

// Two tones per channel, well inside the band of every MP3 sample rate.
inline Samples Tones(int64_t frames, int channels, int rate, double amplitude = 8000) {
  Samples s(static_cast<size_t>(frames * channels));
  for (size_t i = 0; i < s.size(); ++i) {
    const int c = static_cast<int>(i % channels);
    const double t = 2 * M_PI * static_cast<double>(i / channels) / rate;
    s[i] = static_cast<int16_t>(std::lround(
        amplitude * (0.6 * std::sin((440 + 110 * c) * t) + 0.4 * std::sin(1000 * t + c))));
  }
  return s;
}

// What `command` makes of in.wav holding `wav`: the file it names last.
inline Bytes Converted(const Bytes& wav, const Strings& command) {
  Workspace scratch;
  scratch.Put("in.wav", wav);
  EXPECT_EQ(RunProgram(command), 0) << command[0];
  return scratch.Get(command.back());
}

inline Bytes EncodeMp3(const Samples& samples, int channels, int rate) {
  Workspace scratch;
  scratch.Put("in.wav", BuildWav({.channels = channels, .rate = rate}, samples));
  EncodeMp3File("in.wav", "out.mp3", "out.part");
  return scratch.Get("out.mp3");  // throws when there is none
}

inline Bytes DecodeMp3(const Bytes& mp3) {
  Workspace scratch;
  scratch.Put("in.mp3", mp3);
  RunProgram({"mpg123", "-q", "-w", "out.wav", "in.mp3"});
  return scratch.Get("out.wav");
}

inline Bytes Slice(const Bytes& b, size_t from, size_t to) {
  return Bytes(b.begin() + from, b.begin() + std::min(to, b.size()));
}
inline Bytes Spliced(const Bytes& b, size_t at, Bytes insert) {
  insert.insert(insert.begin(), b.begin(), b.begin() + at);
  insert.insert(insert.end(), b.begin() + at, b.end());
  return insert;
}

inline Bytes Junk(size_t size, uint32_t seed) {
  Bytes junk(size);
  for (uint8_t& b : junk) b = static_cast<uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
  return junk;
}

inline int64_t BigEndian(const Bytes& b, size_t at, int bytes) {
  int64_t value = 0;
  while (bytes-- > 0) value = value << 8 | b[at++];
  return value;
}

// One frame of an MP3 stream, as its header and side information say.
struct Mp3Frame {
  size_t offset = 0;
  int version = 0, kbps = 0, rate = 0, mode = 0;  // version 25: MPEG-2.5
  int flags = 0;  // protection bit, then mode extension, copyright, original, emphasis
  int length = 0, main_data_begin = 0;
  // After the side information, 120 bytes of Info fields and 34 of the LAME tag.
  size_t TagCrcOffset() const {
    return offset + 158 + (version == 1 ? (mode == 3 ? 17 : 32) : (mode == 3 ? 9 : 17));
  }
};

// Walks `mp3` frame by frame by the lengths the headers declare; throws at
// bytes that are no Layer III header and when the stream ends inside a frame.
inline std::vector<Mp3Frame> ParseFrames(const Bytes& mp3) {
  static const int kKbps[2][16] = {
      {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, -1},
      {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, -1}};
  static const int kMpeg1Rates[4] = {44100, 48000, 32000, -1};
  std::vector<Mp3Frame> frames;
  size_t at = 0;
  for (; at + 6 <= mp3.size(); at += static_cast<size_t>(frames.back().length)) {
    const uint8_t* h = &mp3[at];
    const int v = (h[1] >> 3) & 3;
    Mp3Frame f{.offset = at, .version = v == 3 ? 1 : v == 2 ? 2 : v == 0 ? 25 : 0};
    f.kbps = kKbps[f.version == 1][h[2] >> 4];
    f.rate = kMpeg1Rates[(h[2] >> 2) & 3] / (f.version == 1 ? 1 : f.version == 2 ? 2 : 4);
    f.mode = h[3] >> 6;
    f.flags = (h[1] & 1) << 6 | (h[3] & 0x3F);
    if (h[0] != 0xFF || (h[1] & 0xE6) != 0xE2 || f.version == 0 || f.kbps <= 0 || f.rate <= 0)
      throw std::runtime_error("no Layer III header at byte " + std::to_string(at));
    f.length = (f.version == 1 ? 144 : 72) * 1000 * f.kbps / f.rate + ((h[2] >> 1) & 1);
    const size_t side = at + 4 + ((h[1] & 1) == 0 ? 2 : 0);
    f.main_data_begin = f.version == 1 ? (mp3[side] << 1 | mp3[side + 1] >> 7) : mp3[side];
    frames.push_back(f);
  }
  if (at != mp3.size()) throw std::runtime_error("the stream ends inside a frame");
  return frames;
}

// How closely `decoded` follows `original` over the original's length, not
// shifted: signal to residual in dB after the best fitting gain (libshine plays
// back 9/8 louder than its input).
inline double SnrDb(const Samples& original, const Samples& decoded) {
  double xx = 0, xy = 0, yy = 0;
  for (size_t i = 0; i < original.size(); ++i) {
    const double x = original[i], y = i < decoded.size() ? decoded[i] : 0.0;
    xx += x * x, xy += x * y, yy += y * y;
  }
  const double gain = xy / std::max(xx, 1.0);
  return 10 * std::log10(gain * gain * xx / std::max(yy - 2 * gain * xy + gain * gain * xx, 1e-9));
}

}  // namespace tolva::testing
