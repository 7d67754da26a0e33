#include <unistd.h>

#include <cstring>

#include "codec.h"
#include "workspace.h"

namespace tolva {

namespace {

// Enough for every magic number below, an ID3v2 header included.
constexpr size_t kSniffBytes = 12;
// ID3v2 tags in front of one another are rare; a chain longer than this is junk.
constexpr int kMostTags = 4;

bool Is(const uint8_t* bytes, size_t at, const char* magic) {
  return std::memcmp(bytes + at, magic, std::strlen(magic)) == 0;
}

// The header of an MPEG audio frame: sync bits, a version, a layer, a bit rate
// and a sample rate that exist.
bool IsMpegFrameHeader(const uint8_t* b) {
  return b[0] == 0xFF && (b[1] & 0xE0) == 0xE0 && ((b[1] >> 3) & 3) != 1 &&
         ((b[1] >> 1) & 3) != 0 && (b[2] >> 4) != 15 && ((b[2] >> 2) & 3) != 3;
}

// Bytes of the ID3v2 tag `b` starts with (header, body and footer), 0 for none.
int64_t Id3TagBytes(const uint8_t* b) {
  if (!Is(b, 0, "ID3") || b[3] == 0xFF || b[4] == 0xFF || ((b[6] | b[7] | b[8] | b[9]) & 0x80)) {
    return 0;
  }
  const int64_t body = int64_t{b[6]} << 21 | b[7] << 14 | b[8] << 7 | b[9];
  return 10 + body + ((b[5] & 0x10) ? 10 : 0);
}

RecordingFormat FormatOf(const uint8_t* b) {
  if ((Is(b, 0, "RIFF") || Is(b, 0, "RF64")) && Is(b, 8, "WAVE")) {
    return Is(b, 0, "RIFF") ? RecordingFormat::kWav : RecordingFormat::kRf64;
  }
  if (Is(b, 0, "FORM") && (Is(b, 8, "AIFF") || Is(b, 8, "AIFC"))) return RecordingFormat::kAiff;
  if (Is(b, 0, "fLaC")) return RecordingFormat::kFlac;
  if (Is(b, 0, "OggS")) return RecordingFormat::kOgg;
  if (IsMpegFrameHeader(b)) return RecordingFormat::kMp3;
  return RecordingFormat::kNone;
}

}  // namespace

RecordingFormat SniffRecording(const fs::path& path, Status* status, int64_t* start) {
  FileDescriptor fd;
  if (Status s = OpenToRead(path, &fd); !s.ok()) {
    *status = s;
    return RecordingFormat::kNone;
  }
  int64_t& at = *start;
  at = 0;
  for (int tags = 0; tags <= kMostTags; ++tags) {
    uint8_t bytes[kSniffBytes] = {};
    const ssize_t got = ::pread(fd.get(), bytes, sizeof bytes, static_cast<off_t>(at));
    if (got < 0) {
      *status = Status::Failed(ErrnoText("cannot read " + path.string()));
      return RecordingFormat::kNone;
    }
    if (got == 0) return at == 0 ? RecordingFormat::kEmpty : RecordingFormat::kMp3;
    const int64_t tag = static_cast<size_t>(got) == sizeof bytes ? Id3TagBytes(bytes) : 0;
    if (tag == 0) {
      // Taggers leave padding after a tag; what a tag announces is MP3 audio.
      const RecordingFormat format = FormatOf(bytes);
      return format == RecordingFormat::kNone && at > 0 ? RecordingFormat::kMp3 : format;
    }
    at += tag;
  }
  // Tags all the way: what they tag is MP3 audio, if anything; libmpg123 decides.
  return RecordingFormat::kMp3;
}

}  // namespace tolva
