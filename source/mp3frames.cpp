#include <algorithm>
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
