#include <algorithm>
#include <cstring>
#include <vector>

#include "codec.h"
#include "engine.h"
#include "progress.h"
#include "riff.h"
#include "workspace.h"

namespace tolva {

namespace {

constexpr int64_t kBlockFrames = 1 << 15;

RIFF CanonicalHeader(int channels, int rate, int64_t data_bytes) {
  RIFF r{};
  std::memcpy(r.ChunkID, "RIFF", 4);
  r.ChunkSize = static_cast<uint32_t>(36 + data_bytes);
  std::memcpy(r.Format, "WAVE", 4);
  std::memcpy(r.FmtID, "fmt ", 4);
  r.FmtSize = 16;
  r.AudioFormat = 1;
  r.NumChannels = static_cast<int16_t>(channels);
  r.SampleRate = rate;
  r.ByteRate = rate * channels * 2;
  r.BlockAlign = static_cast<int16_t>(channels * 2);
  r.BitsPerSample = 16;
  r.HasFact = false;
  std::memcpy(r.DataID, "data", 4);
  r.DataSize = static_cast<uint32_t>(data_bytes);
  return r;
}

// The samples after the header, as they come from the source; the count of
// data bytes through `*data_bytes`. `layout` is the source's header with no
// data yet, for the message when there is too much.
Status StreamSamples(PcmSource& source, const RIFF& layout, ReplacementFile& out,
                     int64_t max_data_bytes, int64_t* data_bytes) {
  const int channels = source.channels();
  std::vector<int16_t> block(static_cast<size_t>(kBlockFrames * channels));
  *data_bytes = 0;
  while (true) {
    int64_t frames = 0;
    if (Status s = source.Read(block.data(), kBlockFrames, &frames); !s.ok()) return s;
    if (frames == 0) return Status::Ok();
    const int64_t bytes = frames * 2 * channels;
    if (bytes > max_data_bytes - *data_bytes) {
      return RefuseTooLong(layout, -1);
    }
    SwapIfBigEndian(block.data(), static_cast<size_t>(frames * channels));
    if (Status s = out.Write(block.data(), static_cast<size_t>(bytes)); !s.ok()) return s;
    *data_bytes += bytes;
    const auto [done, total] = source.Progress();
    ReportProgress(done, total);
  }
}

std::string NotARecording(const fs::path& file) {
  return file.string() +
         " is not a recording tolva can read (MP3, WAV, FLAC, Ogg Vorbis, Opus, AIFF)";
}

const char* FormatName(RecordingFormat format) {
  switch (format) {
    case RecordingFormat::kWav:
      return "WAV";
    case RecordingFormat::kRf64:
      return "RF64";
    case RecordingFormat::kAiff:
      return "AIFF";
    case RecordingFormat::kFlac:
      return "FLAC";
    case RecordingFormat::kOgg:
      return "Ogg";
    case RecordingFormat::kMp3:
      return "MP3";
    case RecordingFormat::kNone:
    case RecordingFormat::kEmpty:
      break;
  }
  return "a recording";
}

}  // namespace

Status WriteWorkingWav(PcmSource& source, const fs::path& name, const std::string& what,
                       const fs::path& wav, const fs::path& scratch, int64_t max_data_bytes) {
  max_data_bytes = std::min(max_data_bytes, kMaxWavDataBytes);
  const RIFF layout = CanonicalHeader(source.channels(), source.rate(), 0);
  const int64_t announced = source.AnnouncedFrames();
  if (announced > max_data_bytes / (2 * source.channels())) {
    return RefuseTooLong(layout, announced);
  }
  ReplacementFile out(scratch);
  if (Status s = out.Open(); !s.ok()) return s;
  // The sizes are known only at the end; the header is written again then.
  if (Status s = PutFile(layout, out); !s.ok()) return s;
  int64_t data_bytes = 0;
  if (Status s = StreamSamples(source, layout, out, max_data_bytes, &data_bytes); !s.ok()) return s;
  if (data_bytes == 0) return Status::Failed(name.string() + " holds no " + what);
  RIFF header = CanonicalHeader(source.channels(), source.rate(), data_bytes);
  if (Status s = out.WriteAt(HeaderImage(header), 0); !s.ok()) return s;
  // The recording stays where it is, so a decode lost to a power failure can
  // be done again: no need to wait for the disk.
  return out.CommitAs(wav, ReplacementFile::Flush::kSkip);
}

Status DecodeMp3ToWav(const fs::path& mp3, const fs::path& wav, const fs::path& scratch,
                      int64_t max_data_bytes) {
  Mp3Decoder decoder;
  if (Status s = decoder.Open(mp3); !s.ok()) return s;
  return WriteWorkingWav(decoder, mp3, "MP3 audio", wav, scratch, max_data_bytes);
}

Status DecodeRecordingToWav(const fs::path& file, const fs::path& wav, const fs::path& scratch,
                            std::string* damage, int64_t max_data_bytes) {
  Status status = Status::Ok();
  int64_t start = 0;
  const RecordingFormat format = SniffRecording(file, &status, &start);
  if (!status.ok()) return status;
  switch (format) {
    case RecordingFormat::kEmpty:
      return Status::Failed(file.string() + " is empty");
    case RecordingFormat::kNone:
      return Status::Failed(NotARecording(file));
    case RecordingFormat::kMp3:
      return DecodeMp3ToWav(file, wav, scratch, max_data_bytes);
    default:
      break;
  }
  SndfileDecoder decoder;
  if (Status s = decoder.Open(file, FormatName(format), start); !s.ok()) return s;
  if (Status s = WriteWorkingWav(decoder, file, "audio", wav, scratch, max_data_bytes); !s.ok()) {
    return s;
  }
  if (damage != nullptr) *damage = decoder.damage();
  return Status::Ok();
}

Status Converter(int which, const fs::path& file, std::string* damage) {
  const bool import = which == 0;
  const fs::path& wav = import ? paths::kImportWav : paths::kSecondWav;
  if (!file.empty()) return DecodeRecordingToWav(file, wav, paths::kScratch, damage);
  return DecodeMp3ToWav(import ? paths::kImportMp3 : paths::kSecondMp3, wav, paths::kScratch);
}

}  // namespace tolva
