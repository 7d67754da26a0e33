#pragma once

// Test inputs built in code: WAV images from sample vectors, ramps whose every
// sample differs from its neighbours (so an off-by-one shows), and readers for
// what the program wrote.

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "riff.h"

namespace tolva::testing {

using Bytes = std::vector<uint8_t>;
using Samples = std::vector<int16_t>;

struct WavLayout {
  int channels = 2;
  int rate = 44100;
  int extra_fmt_words = 0;  // FmtSize = 16 + 2 × this
  bool fact = false;
  char fact_id[4] = {'f', 'a', 'c', 't'};
  int bits = 16;
};

// Sample of `frame`, `channel` in a ramp: distinct for neighbouring frames and
// for the two channels of one frame.
inline int16_t RampSample(int64_t frame, int channel) {
  return static_cast<int16_t>(static_cast<uint16_t>(frame * 7 + channel * 20011 + 3));
}

inline Samples Ramp(int64_t frames, int channels) {
  Samples s(static_cast<size_t>(frames * channels));
  for (int64_t f = 0; f < frames; ++f)
    for (int c = 0; c < channels; ++c) s[f * channels + c] = RampSample(f, c);
  return s;
}

inline void PutLE(Bytes& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Byte by byte: GCC 12 at -O3 misreads a range insert into an empty vector as
// an overflow (-Wstringop-overflow).
inline void PutTag(Bytes& out, const char* tag) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(tag[i]));
}

// A WAV image: header (with the layout's extra fmt words and fact chunk) and
// the samples, little-endian. `data_bytes` overrides DataSize when >= 0.
inline Bytes BuildWav(const WavLayout& layout, const Samples& samples, int64_t data_bytes = -1) {
  const uint32_t data = data_bytes >= 0 ? static_cast<uint32_t>(data_bytes)
                                        : static_cast<uint32_t>(samples.size() * 2);
  const uint32_t fmt_size = 16 + 2 * layout.extra_fmt_words;
  const uint32_t header = 12 + 8 + fmt_size + (layout.fact ? 12 : 0) + 8;
  Bytes out;
  PutTag(out, "RIFF");
  PutLE(out, header - 8 + data, 4);
  PutTag(out, "WAVE");
  PutTag(out, "fmt ");
  PutLE(out, fmt_size, 4);
  PutLE(out, 1, 2);
  PutLE(out, layout.channels, 2);
  PutLE(out, layout.rate, 4);
  PutLE(out, layout.rate * layout.channels * (layout.bits / 8), 4);
  PutLE(out, layout.channels * (layout.bits / 8), 2);
  PutLE(out, layout.bits, 2);
  for (int i = 0; i < layout.extra_fmt_words; ++i) PutLE(out, 0x1234 + i, 2);
  if (layout.fact) {
    out.insert(out.end(), layout.fact_id, layout.fact_id + 4);
    PutLE(out, 4, 4);
    PutLE(out, static_cast<uint32_t>(samples.size() / layout.channels), 4);
  }
  PutTag(out, "data");
  PutLE(out, data, 4);
  for (int16_t s : samples) PutLE(out, static_cast<uint16_t>(s), 2);
  return out;
}

inline RIFF HeaderOf(const Bytes& wav) {
  RIFF r{};
  if (!ParseHeader(wav.data(), wav.size(), r)) throw std::runtime_error("not a WAV image");
  return r;
}

// The samples of a WAV image's data chunk (whole 16-bit samples only).
inline Samples SamplesOf(const Bytes& wav) {
  RIFF r = HeaderOf(wav);
  Samples s(static_cast<size_t>(r.DataSize / 2));
  for (size_t i = 0; i < s.size(); ++i) {
    size_t at = static_cast<size_t>(r.DataOffset) + 2 * i;
    s[i] = static_cast<int16_t>(static_cast<uint16_t>(wav.at(at) | wav.at(at + 1) << 8));
  }
  return s;
}

inline Bytes ReadBytes(const std::filesystem::path& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw std::runtime_error("cannot open " + path.string());
  Bytes out;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  std::fclose(f);
  return out;
}

inline void WriteBytes(const std::filesystem::path& path, const Bytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("cannot create " + path.string());
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

// Frame `f` of interleaved samples as a vector of its channels.
inline Samples FrameAt(const Samples& s, int channels, int64_t f) {
  return Samples(s.begin() + f * channels, s.begin() + (f + 1) * channels);
}

}  // namespace tolva::testing
