#include <unistd.h>

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
  r.ChunkSize = static_cast<int32_t>(36 + data_bytes);
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
  r.DataSize = static_cast<int32_t>(data_bytes);
  return r;
}

// The samples after the header, as they come from the decoder; the count of
// data bytes through `*data_bytes`.
Status StreamSamples(Mp3Decoder& decoder, ReplacementFile& out, int64_t max_data_bytes,
                     const fs::path& mp3, int64_t* data_bytes) {
  const int channels = decoder.channels();
  std::vector<int16_t> block(static_cast<size_t>(kBlockFrames * channels));
  const int64_t mp3_bytes = FileSize(mp3);
  *data_bytes = 0;
  while (true) {
    int64_t frames = 0;
    if (Status s = decoder.Read(block.data(), kBlockFrames, &frames); !s.ok()) return s;
    if (frames == 0) return Status::Ok();
    const int64_t bytes = frames * 2 * channels;
    if (bytes > max_data_bytes - *data_bytes) {
      return Status::Failed(mp3.string() + " decodes to more audio than a WAV file can hold");
    }
    SwapIfBigEndian(block.data(), static_cast<size_t>(frames * channels));
    if (Status s = out.Write(block.data(), static_cast<size_t>(bytes)); !s.ok()) return s;
    *data_bytes += bytes;
    ReportProgress(decoder.BytesRead(), mp3_bytes);
  }
}

}  // namespace

Status DecodeMp3ToWav(const fs::path& mp3, const fs::path& wav, const fs::path& scratch,
                      int64_t max_data_bytes) {
  max_data_bytes = std::min(max_data_bytes, kMaxWavDataBytes);
  Mp3Decoder decoder;
  if (Status s = decoder.Open(mp3); !s.ok()) return s;
  ReplacementFile out(scratch);
  if (Status s = out.Open(); !s.ok()) return s;
  // The sizes are known only at the end; the header is written again then.
  if (Status s = PutFile(CanonicalHeader(decoder.channels(), decoder.rate(), 0), out); !s.ok()) {
    return s;
  }
  int64_t data_bytes = 0;
  if (Status s = StreamSamples(decoder, out, max_data_bytes, mp3, &data_bytes); !s.ok()) return s;
  if (data_bytes == 0) return Status::Failed(mp3.string() + " holds no MP3 audio");
  RIFF header = CanonicalHeader(decoder.channels(), decoder.rate(), data_bytes);
  if (Status s = out.WriteAt(HeaderImage(header), 0); !s.ok()) return s;
  // The MP3 stays where it is, so a decode lost to a power failure can be
  // done again: no need to wait for the disk.
  return out.CommitAs(wav, ReplacementFile::Flush::kSkip);
}

Status Converter(int which, const fs::path& mp3) {
  const bool import = which == 0;
  const fs::path& fixed = import ? paths::kImportMp3 : paths::kSecondMp3;
  return DecodeMp3ToWav(mp3.empty() ? fixed : mp3, import ? paths::kImportWav : paths::kSecondWav,
                        paths::kScratch);
}

}  // namespace tolva
