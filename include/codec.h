#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine.h"
#include "status.h"
#include "workspace.h"

struct mpg123_handle_struct;
struct sf_private_tag;

// Import and export around the codec libraries: libmpg123 and libshine for
// MP3, libsndfile for the other formats people record in and archive to.
namespace tolva {

namespace fs = std::filesystem;

// Decodes audio/res.mp3 (which = 0) or audio/res1.mp3 (any other value) into
// audio/res.wav or audio/res1.wav: a 44-byte-header 16-bit PCM WAV with the
// stream's channels and rate. Those fixed names are the front end's MP3s; a
// `file` given in their place (the command line's) is read as what its first
// bytes say it is (see DecodeRecordingToWav). Fails, writing nothing, when the
// source holds no audio. `*damage` says why a damaged recording was imported
// only in part (empty when it was not).
Status Converter(int which, const fs::path& file = {}, std::string* damage = nullptr);

// Encodes the working file audio/output.wav into audio/output.mp3. The MP3
// appears only when it is complete; on failure a previous one stays as it was.
Status transformer();

// The most sample data a WAV file with a 44-byte header holds: ChunkSize,
// the data and 36 bytes of header, is an unsigned 32-bit number.
constexpr int64_t kMaxWavDataBytes = std::numeric_limits<uint32_t>::max() - 36;

// Decodes the MP3 file `mp3` into a new version of `wav` (a 44-byte header,
// FmtSize 16, no fact chunk), written through `scratch` block by block. Fails,
// leaving `wav` as it was, when `mp3` is missing or holds no MP3 audio, when the
// stream changes its channel count or rate midway, or when the samples would
// pass `max_data_bytes`.
Status DecodeMp3ToWav(const fs::path& mp3, const fs::path& wav, const fs::path& scratch,
                      int64_t max_data_bytes = kMaxWavDataBytes);

// What a recording is, from its first bytes: ID3v2 tags are skipped, and what
// follows them decides (an MP3 frame, or nothing known after a tag, is MP3);
// `*start` is the offset it starts at, after the tags.
enum class RecordingFormat { kNone, kEmpty, kMp3, kWav, kRf64, kAiff, kFlac, kOgg };
RecordingFormat SniffRecording(const fs::path& path, Status* status, int64_t* start);

// Decodes any recording SniffRecording knows into a new version of `wav`, as
// DecodeMp3ToWav does: MP3 through libmpg123, the others through libsndfile
// (SndfileDecoder). A file in no known format fails with "<file> is not a
// recording tolva can read (...)". `*damage` is as Converter's.
Status DecodeRecordingToWav(const fs::path& file, const fs::path& wav, const fs::path& scratch,
                            std::string* damage, int64_t max_data_bytes = kMaxWavDataBytes);

// Interleaved signed 16-bit frames in the host's byte order, read from a
// recording or a working file block by block.
class PcmSource {
 public:
  virtual ~PcmSource() = default;
  virtual int channels() const = 0;
  virtual int rate() const = 0;
  // Reads up to `max_frames` frames; `*frames` is 0 at the end.
  virtual Status Read(int16_t* samples, int64_t max_frames, int64_t* frames) = 0;
  // How far the reading has come: done of total, in any unit (total 0: unknown).
  virtual std::pair<int64_t, int64_t> Progress() const = 0;
  // The frames the recording says it holds before it is read (0: it does not say).
  virtual int64_t AnnouncedFrames() { return 0; }
};

// The frames of a 16-bit PCM WAV file whose header is already read and checked:
// a working file on its way to an export.
class WavSource : public PcmSource {
 public:
  // Opens `path`, whose header is `record` (see FrameReader::Open).
  Status Open(const fs::path& path, const RIFF& record);
  int channels() const override { return reader_.channels(); }
  int rate() const override { return rate_; }
  // Reads up to `max_frames` frames; `*frames` is 0 at the end of the data chunk.
  Status Read(int16_t* samples, int64_t max_frames, int64_t* frames) override;
  // Frames read so far, of all the data chunk holds.
  std::pair<int64_t, int64_t> Progress() const override {
    return {reader_.position(), reader_.frames()};
  }

 private:
  FrameReader reader_;
  int rate_ = 0;
};

// Streams `source` into a new version of `wav` (44-byte header, FmtSize 16,
// no fact chunk) through `scratch`. Fails, leaving `wav` as it was, with
// "<name> holds no <what>" when no frame comes, or when the samples would pass
// `max_data_bytes`.
Status WriteWorkingWav(PcmSource& source, const fs::path& name, const std::string& what,
                       const fs::path& wav, const fs::path& scratch, int64_t max_data_bytes);

// Recordings libsndfile reads (WAV of any depth and encoding,
// WAVE_FORMAT_EXTENSIBLE, RF64, AIFF, FLAC, Ogg Vorbis, Opus), at their own
// rate, rounded to 16 bits: integer samples to the nearest (a half up),
// floating-point ones (full scale 1.0) too; both clipped, never wrapped, and not
// dithered. Refuses more than two channels and rates outside 8000 to 192000 Hz.
class SndfileDecoder : public PcmSource {
 public:
  SndfileDecoder();
  ~SndfileDecoder() override;
  SndfileDecoder(const SndfileDecoder&) = delete;
  SndfileDecoder& operator=(const SndfileDecoder&) = delete;

  // `format` names what the file was taken for, in messages ("WAV"); the
  // recording starts `start` bytes into the file (after a tag libsndfile
  // would not skip).
  Status Open(const fs::path& path, const std::string& format, int64_t start = 0);
  int channels() const override { return channels_; }
  int rate() const override { return rate_; }
  // A recording that libsndfile cannot decode whole (cut short, broken frames,
  // which libFLAC gives as silence or leaves out) reads as far as it decodes,
  // and damage() says so; a failure to read the file is a failure.
  Status Read(int16_t* samples, int64_t max_frames, int64_t* frames) override;
  std::pair<int64_t, int64_t> Progress() const override { return {frames_read_, announced_}; }
  int64_t AnnouncedFrames() override { return announced_; }
  // What was wrong with a damaged recording, for a warning; empty when nothing was.
  const std::string& damage() const { return damage_; }

 private:
  Status End();

  struct Io;
  std::unique_ptr<Io> io_;
  ::sf_private_tag* file_ = nullptr;
  int channels_ = 0;
  int rate_ = 0;
  bool floating_ = false;  // samples read as floats (float WAV, Vorbis, Opus)
  bool ended_ = false;
  int64_t announced_ = 0;  // frames the header announces
  int64_t frames_read_ = 0;
  std::vector<int32_t> integers_;
  std::vector<float> floats_;
  std::string why_;  // the first error libsndfile reported
  std::string damage_;
};

// Encodes the working file `wav` as lossless 16-bit FLAC (level 5, as `flac`
// does by default) into a new version of `flac`, written through `scratch` and
// flushed to the disk before it is put in place.
Status EncodeFlacFile(const fs::path& wav, const fs::path& flac, const fs::path& scratch);

// Encodes `input` (a 16-bit PCM WAV file, or MP3 data) into a new version of
// `mp3`, written through `scratch`. When `input` is readable neither way, the
// line "read file [<input>] error." goes to standard output.
Status EncodeMp3File(const fs::path& input, const fs::path& mp3, const fs::path& scratch);

// The bit rate (kbit/s) the export encodes at: 192 where the encoder takes it,
// otherwise the highest rate the encoder takes and can fill for this sample
// rate and channel count; 0 when it encodes no MP3 at `sample_rate`.
int Mp3BitRate(int sample_rate, int channels);

// Streams the samples of an MP3 file through libmpg123: signed 16-bit,
// interleaved, at the stream's own rate and channel count. The encoder delay
// and padding that an information frame records are trimmed; a stream without
// one yields frames × samples-per-frame.
class Mp3Decoder : public PcmSource {
 public:
  Mp3Decoder() = default;
  ~Mp3Decoder() override;
  Mp3Decoder(const Mp3Decoder&) = delete;
  Mp3Decoder& operator=(const Mp3Decoder&) = delete;

  // Opens `path` and finds its first frame; fails when there is none.
  Status Open(const fs::path& path);
  int channels() const override { return channels_; }
  int rate() const override { return rate_; }
  // Decodes up to `max_frames` frames; `*frames` is 0 at the end of the stream.
  // A change of channel count or rate midway is a failure; a frame or two of
  // another format amid the stream (a stray header in junk) is dropped.
  Status Read(int16_t* samples, int64_t max_frames, int64_t* frames) override;
  // Bytes of the file taken in so far, of all its bytes.
  std::pair<int64_t, int64_t> Progress() const override;
  // From the information frame, or the size of a stream of constant bit rate;
  // a stream that seems longer than a WAV file holds is read through to count.
  int64_t AnnouncedFrames() override;

 private:
  void TakeFormat();

  ::mpg123_handle_struct* handle_ = nullptr;
  FileDescriptor fd_;  // libmpg123 reads through it and leaves closing it to us
  int64_t file_bytes_ = 0;
  fs::path path_;
  int channels_ = 0;
  int rate_ = 0;
  bool stray_ = false;  // decoding frames of another format
  int stray_channels_ = 0;
  int stray_rate_ = 0;
  int64_t stray_frames_ = 0;
};

// Bytes of side information after a Layer III frame's header: MPEG-1 (32000
// Hz and up) or MPEG-2 and 2.5, one channel or two.
int Mp3SideInfoBytes(bool mpeg1, int channels);

// CRC-16 with the polynomial 0x8005, bits reflected, as information frames
// carry it; `crc` continues an earlier run.
uint16_t Crc16(const uint8_t* bytes, size_t size, uint16_t crc = 0);

// What the information frame in front of a constant-bit-rate stream records.
struct Mp3InfoFields {
  uint8_t header[4] = {};  // of the stream's first audio frame
  int frame_bytes = 0;     // a frame's length without the padding byte
  int64_t frames = 0;      // audio frames after the information frame
  int64_t bytes = 0;       // of the whole stream, information frame included
  int delay = 0;           // samples per channel before the recording starts
  int padding = 0;         // samples per channel after it ends
  uint16_t audio_crc = 0;  // Crc16 of the audio frames
};

// An "Info" frame with the LAME-style extension (delay, padding, CRCs), named
// as this program's; a decoder that knows none of it plays one frame of
// silence. Empty for a header that is not Layer III, a frame too short for the
// tag, or a delay or padding that does not fit 12 bits.
std::vector<uint8_t> Mp3InfoFrame(const Mp3InfoFields& fields);

// libshine 3.1.1 writes frames that are not always as long as their headers
// say: its slot arithmetic in floating point rounds an exact 864 bytes (32 kHz)
// down to 863 and then sets the padding bit for the missing byte, and its
// flush drops the 1 to 3 bytes of the last frame still held in its bit cache.
// Decoders then lose the last frame or the whole stream. This rewrites the
// encoder's output so that every frame is exactly as long as its header says:
// a padding bit without its padding byte is cleared, a frame short of its
// header's length is completed with zero bytes (the encoder never lets main
// data reach into a later frame, so those bytes are plain ancillary data).
class Mp3FrameRepair {
 public:
  // `sample_rate` and `kbps` as given to the encoder.
  Mp3FrameRepair(int sample_rate, int kbps);

  // Appends the repaired form of the next encoder output to `out`. Fails on
  // bytes that are not the frame the encoder's arithmetic says comes next.
  Status Feed(const uint8_t* bytes, size_t size, std::vector<uint8_t>& out);
  // Completes the last frame; fails when more than the flush's loss is missing.
  Status Finish(std::vector<uint8_t>& out);
  // Frames seen so far.
  int64_t frames() const { return frames_; }
  // The header of the first frame (zeros before it is seen).
  const uint8_t* first_header() const { return first_header_; }
  // The length of a frame whose header has no padding bit.
  int unpadded_bytes() const { return declared_bytes_; }
  // Whether the encoder still holds back bytes of the last frame seen, which
  // its flush will not deliver.
  bool MidFrame() const { return header_fill_ > 0 || body_left_ > 0; }

 private:
  Status StartFrame(std::vector<uint8_t>& out);

  int sample_rate_;
  int kbps_;
  int encoder_bytes_;   // what the encoder writes for a frame without padding
  int declared_bytes_;  // what a header without the padding bit declares
  uint8_t header_[4] = {};
  uint8_t first_header_[4] = {};
  int header_fill_ = 0;
  int64_t body_left_ = 0;  // bytes of the current frame still to come
  int zeros_after_ = 0;    // zero bytes that complete the current frame
  int64_t frames_ = 0;
};

}  // namespace tolva
