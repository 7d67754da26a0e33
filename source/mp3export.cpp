extern "C" {
#include <shine/layer3.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "codec.h"
#include "progress.h"
#include "riff.h"
#include "workspace.h"

namespace tolva {

namespace {

constexpr int kPreferredKbps = 192;
constexpr int64_t kPassesPerChunk = 64;
constexpr size_t kWriteThreshold = 1 << 20;
// A decoder takes a stream of one frame for no MP3 at all.
constexpr int64_t kFewestFrames = 2;
// A decoded sample comes out this many frames after the sample it stands for:
// 528 in libshine's analysis filter bank and MDCT, 529 in any decoder's
// synthesis. The encoder's flush does not push the last of them out, so the
// stream must run on that long past the input to hold all of it. The
// information frame records the encoder's part; decoders know their own.
constexpr int64_t kEncoderDelayFrames = 528;
constexpr int64_t kCodecDelayFrames = kEncoderDelayFrames + 529;
// part2_3_length, the size of one granule's main data, is a 12-bit field.
constexpr int kMostGranuleBits = 4095;

// libshine gives each granule and channel an equal share of the frame and
// writes a broken stream when that share passes what part2_3_length can count
// (mono at 16000 Hz above 112 kbit/s, at 8000 Hz above 56 kbit/s).
bool GranuleShareFits(int sample_rate, int channels, int kbps) {
  const bool mpeg1 = sample_rate >= 32000;
  const int granules = mpeg1 ? 2 : 1;
  const int side_info = Mp3SideInfoBytes(mpeg1, channels);
  const int64_t padded_frame = int64_t{granules} * 72000 * kbps / sample_rate + 1;
  return (padded_frame - 4 - side_info) * 8 / (granules * channels) <= kMostGranuleBits;
}

bool EncoderTakes(int sample_rate, int channels, int kbps) {
  return shine_check_config(sample_rate, kbps) >= 0 &&
         GranuleShareFits(sample_rate, channels, kbps);
}

Status OpenWav(const fs::path& path, const std::string& prefix,
               std::unique_ptr<PcmSource>* source) {
  RIFF record{};
  if (!ParseHeader(reinterpret_cast<const uint8_t*>(prefix.data()), prefix.size(), record)) {
    return Status::Failed(path.string() + " is not a WAV file this program can read");
  }
  if (Status s = CheckEditable(record, FileSize(path), path.string()); !s.ok()) return s;
  auto wav = std::make_unique<WavSource>();
  if (Status s = wav->Open(path, record); !s.ok()) return s;
  *source = std::move(wav);
  return Status::Ok();
}

// A RIFF file is read as a WAV file only: PCM bytes must not be searched for
// MP3 frames.
Status OpenInput(const fs::path& path, std::unique_ptr<PcmSource>* source) {
  if (FileSize(path) < 0) return Status::Failed("there is no " + path.string());
  std::string prefix;
  if (Status s = ReadPrefix(path, kMaxHeaderBytes, &prefix); !s.ok()) return s;
  if (prefix.compare(0, 4, "RIFF") == 0) return OpenWav(path, prefix, source);
  auto mp3 = std::make_unique<Mp3Decoder>();
  if (Status s = mp3->Open(path); !s.ok()) return s;
  *source = std::move(mp3);
  return Status::Ok();
}

// libshine with the export's settings, its output repaired and written.
class Mp3Encoder {
 public:
  Mp3Encoder(int sample_rate, int channels, int kbps, ReplacementFile& out)
      : sample_rate_(sample_rate),
        channels_(channels),
        kbps_(kbps),
        repair_(sample_rate, kbps),
        out_(out) {}
  ~Mp3Encoder() {
    if (shine_ != nullptr) shine_close(shine_);
  }
  Mp3Encoder(const Mp3Encoder&) = delete;
  Mp3Encoder& operator=(const Mp3Encoder&) = delete;

  Status Open() {
    shine_config_t config;
    std::memset(&config, 0, sizeof config);
    shine_set_config_mpeg_defaults(&config.mpeg);
    config.wave.channels = channels_ == 1 ? PCM_MONO : PCM_STEREO;
    config.wave.samplerate = sample_rate_;
    config.mpeg.mode = channels_ == 1 ? MONO : DUAL_CHANNEL;
    config.mpeg.bitr = kbps_;
    config.mpeg.emph = NONE;
    config.mpeg.copyright = 0;
    config.mpeg.original = 1;
    shine_ = shine_initialise(&config);
    if (shine_ == nullptr) {
      return Status::Failed("the MP3 encoder refuses " + std::to_string(sample_rate_) + " Hz at " +
                            std::to_string(kbps_) + " kbit/s");
    }
    pass_frames_ = shine_samples_per_pass(shine_);
    // The information frame's place, filled when the counts are known.
    const std::vector<uint8_t> reserved(static_cast<size_t>(repair_.unpadded_bytes()), 0);
    return out_.Write(reserved.data(), reserved.size());
  }

  int64_t pass_frames() const { return pass_frames_; }

  // Encodes one pass of pass_frames() interleaved frames.
  Status Encode(int16_t* samples) {
    int written = 0;
    const unsigned char* bytes = shine_encode_buffer_interleaved(shine_, samples, &written);
    ++passes_;
    return Take(bytes, written);
  }

  // Adds passes of silence until the stream holds the last of the
  // `input_frames`, is long enough for a decoder to take it, and ends in a frame
  // of silence if the flush is going to lose bytes of it; flushes the encoder,
  // completes the last frame and fills in the information frame.
  Status Finish(int64_t input_frames) {
    const int64_t audible_end = input_frames + kCodecDelayFrames;
    std::vector<int16_t> silence(static_cast<size_t>(pass_frames_ * channels_), 0);
    while (passes_ < kFewestFrames || passes_ * pass_frames_ < audible_end ||
           (repair_.MidFrame() && (passes_ - 1) * pass_frames_ < audible_end)) {
      if (Status s = Encode(silence.data()); !s.ok()) return s;
    }
    int written = 0;
    const unsigned char* bytes = shine_flush(shine_, &written);
    if (Status s = Take(bytes, written); !s.ok()) return s;
    if (Status s = repair_.Finish(pending_); !s.ok()) return s;
    if (repair_.frames() != passes_) {
      return Status::Failed("internal error: the MP3 encoder wrote " +
                            std::to_string(repair_.frames()) + " frames for " +
                            std::to_string(passes_) + " passes");
    }
    if (Status s = WritePending(); !s.ok()) return s;
    return WriteInfoFrame(input_frames);
  }

 private:
  Status Take(const unsigned char* bytes, int size) {
    if (size <= 0 || bytes == nullptr) return Status::Ok();
    if (Status s = repair_.Feed(bytes, static_cast<size_t>(size), pending_); !s.ok()) return s;
    return pending_.size() >= kWriteThreshold ? WritePending() : Status::Ok();
  }
  Status WritePending() {
    audio_crc_ = Crc16(pending_.data(), pending_.size(), audio_crc_);
    Status s = out_.Write(pending_.data(), pending_.size());
    pending_.clear();
    return s;
  }
  Status WriteInfoFrame(int64_t input_frames) {
    Mp3InfoFields fields;
    std::memcpy(fields.header, repair_.first_header(), 4);
    fields.frame_bytes = repair_.unpadded_bytes();
    fields.frames = repair_.frames();
    fields.bytes = out_.size();
    fields.delay = static_cast<int>(kEncoderDelayFrames);
    fields.padding = static_cast<int>(passes_ * pass_frames_ - kEncoderDelayFrames - input_frames);
    fields.audio_crc = audio_crc_;
    const std::vector<uint8_t> frame = Mp3InfoFrame(fields);
    if (frame.empty()) {
      return Status::Failed(
          "internal error: the MP3 stream's delay and padding do not fit its "
          "information frame");
    }
    return out_.WriteAt(frame, 0);
  }

  int sample_rate_;
  int channels_;
  int kbps_;
  shine_t shine_ = nullptr;
  int64_t pass_frames_ = 0;
  int64_t passes_ = 0;
  Mp3FrameRepair repair_;
  std::vector<uint8_t> pending_;
  uint16_t audio_crc_ = 0;
  ReplacementFile& out_;
};

// Whole passes as they come, the last partial one completed with silence;
// the count of input frames through `*frames`.
Status EncodeStream(PcmSource& source, Mp3Encoder& encoder, int64_t* frames) {
  const int channels = source.channels();
  const int64_t pass = encoder.pass_frames();
  const int64_t capacity = kPassesPerChunk * pass;
  std::vector<int16_t> chunk(static_cast<size_t>(capacity * channels));
  *frames = 0;
  while (true) {
    int64_t filled = 0;
    while (filled < capacity) {
      int64_t got = 0;
      if (Status s = source.Read(chunk.data() + filled * channels, capacity - filled, &got);
          !s.ok()) {
        return s;
      }
      if (got == 0) break;
      filled += got;
    }
    *frames += filled;
    const auto [done, total] = source.Progress();
    ReportProgress(done, total);
    const int64_t passes = (filled + pass - 1) / pass;
    std::fill(chunk.begin() + filled * channels, chunk.begin() + passes * pass * channels, 0);
    for (int64_t i = 0; i < passes; ++i) {
      if (Status s = encoder.Encode(chunk.data() + i * pass * channels); !s.ok()) return s;
    }
    if (filled < capacity) return Status::Ok();
  }
}

}  // namespace

int Mp3BitRate(int sample_rate, int channels) {
  if (channels < 1 || channels > 2) return 0;
  static const int kCandidates[] = {
      kPreferredKbps, 160, 144, 128, 112, 96, 80, 64, 56, 48, 40, 32, 24, 16, 8};
  for (int kbps : kCandidates) {
    if (EncoderTakes(sample_rate, channels, kbps)) return kbps;
  }
  return 0;
}

Status EncodeMp3File(const fs::path& input, const fs::path& mp3, const fs::path& scratch) {
  std::unique_ptr<PcmSource> source;
  if (Status s = OpenInput(input, &source); !s.ok()) {
    std::printf("read file [%s] error.\n", input.c_str());
    std::fflush(stdout);
    return s;
  }
  const int kbps = Mp3BitRate(source->rate(), source->channels());
  if (kbps == 0) {
    return Status::Failed("cannot encode MP3 at " + std::to_string(source->rate()) +
                          " Hz (MP3 sample rates are 8000 to 48000 Hz)");
  }
  ReplacementFile out(scratch);
  if (Status s = out.Open(); !s.ok()) return s;
  Mp3Encoder encoder(source->rate(), source->channels(), kbps, out);
  if (Status s = encoder.Open(); !s.ok()) return s;
  int64_t frames = 0;
  if (Status s = EncodeStream(*source, encoder, &frames); !s.ok()) return s;
  if (Status s = encoder.Finish(frames); !s.ok()) return s;
  return out.CommitAs(mp3);
}

Status transformer() {
  return EncodeMp3File(paths::kWorking, paths::kExportMp3, paths::kScratchMp3);
}

}  // namespace tolva
