#include <algorithm>
#include <array>
#include <cstring>

#include "codec.h"

namespace tolva {

namespace {

// The bytes libshine's flush may leave in its 32-bit cache.
constexpr int64_t kMostBytesLostAtFlush = 4;
constexpr int kSamplesPerGranule = 576;

int GranulesPerFrame(int sample_rate) {
  return sample_rate >= 32000 ? 2 : 1;
}

// Bit rate (kbit/s) and sample rate (Hz) a Layer III header declares; false
// for anything else.
bool ReadLayer3Header(const uint8_t* h, int* kbps, int* rate, bool* padded) {
  static const int kMpeg1Kbps[16] = {0,   32,  40,  48,  56,  64,  80,  96,
                                     112, 128, 160, 192, 224, 256, 320, 0};
  static const int kMpeg2Kbps[16] = {0,  8,  16, 24,  32,  40,  48,  56,
                                     64, 80, 96, 112, 128, 144, 160, 0};
  static const int kMpeg1Rates[4] = {44100, 48000, 32000, 0};
  if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return false;
  const int version = (h[1] >> 3) & 3;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
  const int layer = (h[1] >> 1) & 3;    // 1: Layer III
  if (version == 1 || layer != 1) return false;
  *kbps = (version == 3 ? kMpeg1Kbps : kMpeg2Kbps)[(h[2] >> 4) & 15];
  *rate = kMpeg1Rates[(h[2] >> 2) & 3] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
  *padded = (h[2] & 0x02) != 0;
  return *kbps != 0 && *rate != 0;
}

}  // namespace

int Mp3SideInfoBytes(bool mpeg1, int channels) {
  if (mpeg1) return channels == 1 ? 17 : 32;
  return channels == 1 ? 9 : 17;
}

uint16_t Crc16(const uint8_t* bytes, size_t size, uint16_t crc) {
  static const std::array<uint16_t, 256> kTable = [] {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
      unsigned c = i;
      for (int bit = 0; bit < 8; ++bit) c = (c & 1) != 0 ? (c >> 1) ^ 0xA001 : c >> 1;
      table[i] = static_cast<uint16_t>(c);
    }
    return table;
  }();
  for (size_t i = 0; i < size; ++i) crc = (crc >> 8) ^ kTable[(crc ^ bytes[i]) & 0xFF];
  return crc;
}

std::vector<uint8_t> Mp3InfoFrame(const Mp3InfoFields& fields) {
  constexpr int kMostTwelveBits = 4095;
  constexpr size_t kTagBytes = 156;
  int kbps = 0, rate = 0;
  bool padded = false;
  if (!ReadLayer3Header(fields.header, &kbps, &rate, &padded) || fields.delay < 0 ||
      fields.delay > kMostTwelveBits || fields.padding < 0 || fields.padding > kMostTwelveBits) {
    return {};
  }
  const bool mpeg1 = ((fields.header[1] >> 3) & 3) == 3;
  const int mode = fields.header[3] >> 6;  // 3: single channel
  // The tag starts after the side information, which stays zero: no audio.
  size_t at = 4 + static_cast<size_t>(Mp3SideInfoBytes(mpeg1, mode == 3 ? 1 : 2));
  if (fields.frame_bytes < 0 || static_cast<size_t>(fields.frame_bytes) < at + kTagBytes) return {};
  std::vector<uint8_t> frame(static_cast<size_t>(fields.frame_bytes), 0);
  std::memcpy(frame.data(), fields.header, 4);
  frame[2] &= static_cast<uint8_t>(~0x02);  // as long as an unpadded frame
  auto put = [&](uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) frame[at++] = static_cast<uint8_t>(value >> (8 * i));
  };
  auto put_text = [&](const char* text, size_t size) {
    std::memcpy(&frame[at], text, size);
    at += size;
  };
  put_text("Info", 4);
  put(0x0F, 4);  // frame count, byte count, seek table and quality follow
  put(static_cast<uint64_t>(fields.frames), 4);
  put(static_cast<uint64_t>(fields.bytes), 4);
  for (int i = 0; i < 100; ++i) put(static_cast<uint64_t>(i * 256 / 100), 1);  // constant rate
  at += 4;  // no quality recorded
  put_text("tolva    ", 9);
  put(0x01, 1);         // tag revision 0, constant bit rate
  at += 1;              // no lowpass filter
  at += 4 + 2 + 2 + 1;  // no peak, no replay gain, no encoder flags
  put(static_cast<uint64_t>(std::min(kbps, 255)), 1);
  put(static_cast<uint64_t>(fields.delay) << 12 | static_cast<uint64_t>(fields.padding), 3);
  const int source_rate = rate <= 32000 ? 0 : rate == 44100 ? 1 : 2;
  put(static_cast<uint64_t>(source_rate << 6 | (mode == 3 ? 0 : 2) << 2), 1);  // mono or dual
  at += 1 + 2;  // no gain change, no preset
  put(static_cast<uint64_t>(fields.bytes), 4);
  put(fields.audio_crc, 2);
  put(Crc16(frame.data(), at), 2);
  return frame;
}

Mp3FrameRepair::Mp3FrameRepair(int sample_rate, int kbps) : sample_rate_(sample_rate), kbps_(kbps) {
  const int granules = GranulesPerFrame(sample_rate);
  // The encoder's own expression, floating point and truncation included.
  const double slots =
      (static_cast<double>(granules) * kSamplesPerGranule / static_cast<double>(sample_rate)) *
      (1000 * static_cast<double>(kbps) / 8.0);
  encoder_bytes_ = static_cast<int>(slots);
  declared_bytes_ =
      static_cast<int>(int64_t{granules} * kSamplesPerGranule / 8 * 1000 * kbps / sample_rate);
}

Status Mp3FrameRepair::StartFrame(std::vector<uint8_t>& out) {
  int kbps = 0, rate = 0;
  bool padded = false;
  if (!ReadLayer3Header(header_, &kbps, &rate, &padded) || kbps != kbps_ || rate != sample_rate_) {
    return Status::Failed(
        "internal error: the MP3 encoder wrote no frame header where one was due");
  }
  const int written = encoder_bytes_ + (padded ? 1 : 0);
  int declared = declared_bytes_ + (padded ? 1 : 0);
  if (padded && written == declared_bytes_) {
    header_[2] &= static_cast<uint8_t>(~0x02);
    declared = declared_bytes_;
  }
  if (written > declared) {
    return Status::Failed("internal error: the MP3 encoder wrote a frame longer than its header");
  }
  if (frames_ == 0) std::memcpy(first_header_, header_, 4);
  out.insert(out.end(), header_, header_ + 4);
  body_left_ = written - 4;
  zeros_after_ = declared - written;
  header_fill_ = 0;
  ++frames_;
  return Status::Ok();
}

Status Mp3FrameRepair::Feed(const uint8_t* bytes, size_t size, std::vector<uint8_t>& out) {
  while (size > 0) {
    if (body_left_ == 0) {
      const size_t take = std::min<size_t>(size, 4 - header_fill_);
      std::memcpy(header_ + header_fill_, bytes, take);
      header_fill_ += static_cast<int>(take);
      bytes += take;
      size -= take;
      if (header_fill_ == 4) {
        if (Status s = StartFrame(out); !s.ok()) return s;
      }
      continue;
    }
    const size_t take =
        static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(size), body_left_));
    out.insert(out.end(), bytes, bytes + take);
    bytes += take;
    size -= take;
    body_left_ -= static_cast<int64_t>(take);
    if (body_left_ == 0) {
      out.insert(out.end(), static_cast<size_t>(zeros_after_), 0);
      zeros_after_ = 0;
    }
  }
  return Status::Ok();
}

Status Mp3FrameRepair::Finish(std::vector<uint8_t>& out) {
  if (header_fill_ != 0 || body_left_ > kMostBytesLostAtFlush) {
    return Status::Failed("internal error: the MP3 encoder's output ends inside a frame");
  }
  out.insert(out.end(), static_cast<size_t>(body_left_ + zeros_after_), 0);
  body_left_ = 0;
  zeros_after_ = 0;
  return Status::Ok();
}

}  // namespace tolva
