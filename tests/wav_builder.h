#pragma once

// WAV images and ramps built in code, and readers for what the program wrote.

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
  int channels = 2, rate = 44100, extra_fmt_words = 0;  // FmtSize = 16 + 2 × the last
  bool fact = false;
  char fact_id[4] = {'f', 'a', 'c', 't'};
  int bits = 16;
  int format = 1;  // AudioFormat: 1 PCM, 3 IEEE float
};

// A ramp: every sample distinct from those of the neighbouring frames and from
// the other channel of its frame.
inline Samples Ramp(int64_t frames, int channels) {
  Samples s(static_cast<size_t>(frames * channels));
  for (size_t i = 0; i < s.size(); ++i)
    s[i] = static_cast<int16_t>(static_cast<uint16_t>(i / channels * 7 + i % channels * 20011 + 3));
  return s;
}

// A WAV image: header (with the layout's extra fmt words and fact chunk) and
// the samples, little-endian. `data_bytes` overrides DataSize when >= 0.
inline Bytes BuildWav(const WavLayout& l, const Samples& samples, int64_t data_bytes = -1) {
  const uint32_t data = static_cast<uint32_t>(data_bytes >= 0 ? data_bytes : samples.size() * 2);
  const uint32_t fmt = 16 + 2 * l.extra_fmt_words, frame = l.channels * (l.bits / 8);
  Bytes out;
  auto put = [&out](uint32_t v, int bytes) {
    while (bytes-- > 0) out.push_back(static_cast<uint8_t>(v)), v >>= 8;
  };
  auto id = [&put](const char* n) { put(n[0] | n[1] << 8 | n[2] << 16 | n[3] << 24, 4); };
  id("RIFF"), put(4 + 8 + fmt + (l.fact ? 12 : 0) + 8 + data, 4), id("WAVE"), id("fmt ");
  put(fmt, 4), put(l.format, 2), put(l.channels, 2), put(l.rate, 4), put(l.rate * frame, 4);
  put(frame, 2), put(l.bits, 2);
  for (int i = 0; i < l.extra_fmt_words; ++i) put(0x1234 + i, 2);
  if (l.fact) id(l.fact_id), put(4, 4), put(static_cast<uint32_t>(samples.size() / l.channels), 4);
  id("data"), put(data, 4);
  for (int16_t s : samples) put(static_cast<uint16_t>(s), 2);
  return out;
}

inline RIFF HeaderOf(const Bytes& wav) {
  RIFF r{};
  if (!ParseHeader(wav.data(), wav.size(), r)) throw std::runtime_error("not a WAV image");
  return r;
}

inline Samples SamplesOf(const Bytes& wav) {
  const RIFF r = HeaderOf(wav);
  Samples s(static_cast<size_t>(r.DataSize / 2));
  for (size_t i = 0, at = static_cast<size_t>(r.DataOffset); i < s.size(); ++i, at += 2)
    s[i] = static_cast<int16_t>(wav.at(at) | wav.at(at + 1) << 8);
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

// Expected results written as the source frames they hold.
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

inline Samples Pick(const Samples& in, int channels, const Frames& frames) {
  Samples out;
  for (int64_t f : frames)
    out.insert(out.end(), in.begin() + f * channels, in.begin() + (f + 1) * channels);
  return out;
}

}  // namespace tolva::testing
