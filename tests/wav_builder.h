#pragma once

// Test inputs built in code: WAV images from sample vectors, ramps whose every
// sample differs from its neighbours (so an off-by-one shows), and readers for
// what the program wrote.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
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

// A ramp: every sample distinct from those of the neighbouring frames and from
// the other channel of its frame.
inline Samples Ramp(int64_t frames, int channels) {
  Samples s(static_cast<size_t>(frames * channels));
  for (size_t i = 0; i < s.size(); ++i) {
    s[i] = static_cast<int16_t>(static_cast<uint16_t>(i / channels * 7 + i % channels * 20011 + 3));
  }
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
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot open " + path.string());
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

inline void WriteBytes(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path.string());
}

// Frame numbers, to write expected results as the source frames they hold.
using Frames = std::vector<int64_t>;

// Frames from `from` up to, not including, `to`; counting down when to < from.
inline Frames Span(int64_t from, int64_t to) {
  Frames f;
  for (int64_t i = from; i != to; i += from < to ? 1 : -1) f.push_back(i);
  return f;
}

inline Frames Join(std::initializer_list<Frames> parts) {
  Frames out;
  for (const Frames& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The samples of `frames` of the interleaved `in`, in that order.
inline Samples Pick(const Samples& in, int channels, const Frames& frames) {
  Samples out;
  for (int64_t f : frames)
    out.insert(out.end(), in.begin() + f * channels, in.begin() + (f + 1) * channels);
  return out;
}

}  // namespace tolva::testing
