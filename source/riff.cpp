#include "riff.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "workspace.h"

namespace tolva {

RIFF Res{};
RIFF Res1{};

namespace {

// Highest sample rate the effects accept; no audio format in use goes beyond.
constexpr int32_t kMaxSampleRate = 768000;

// Little-endian field reader over a header image; once a read runs past the
// end every later read fails too.
class FieldReader {
 public:
  FieldReader(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}
  bool Tag(char (&tag)[4]) {
    if (!Have(4)) return false;
    std::memcpy(tag, bytes_ + pos_, 4);
    pos_ += 4;
    return true;
  }
  template <typename Field>
  bool U32(Field& value) {
    static_assert(sizeof(Field) == 4);
    if (!Have(4)) return false;
    uint32_t v = static_cast<uint32_t>(bytes_[pos_]) |
                 static_cast<uint32_t>(bytes_[pos_ + 1]) << 8 |
                 static_cast<uint32_t>(bytes_[pos_ + 2]) << 16 |
                 static_cast<uint32_t>(bytes_[pos_ + 3]) << 24;
    value = static_cast<Field>(v);
    pos_ += 4;
    return true;
  }
  bool U16(int16_t& value) {
    if (!Have(2)) return false;
    value = static_cast<int16_t>(static_cast<uint16_t>(bytes_[pos_] | bytes_[pos_ + 1] << 8));
    pos_ += 2;
    return true;
  }
  void Back(size_t n) { pos_ -= n; }

 private:
  bool Have(size_t n) const { return size_ - pos_ >= n; }
  const uint8_t* bytes_;
  size_t size_;
  size_t pos_ = 0;
};

class FieldWriter {
 public:
  explicit FieldWriter(std::vector<uint8_t>& out) : out_(out) {}
  void Tag(const char (&tag)[4]) { out_.insert(out_.end(), tag, tag + 4); }
  template <typename Field>
  void U32(Field value) {
    static_assert(sizeof(Field) == 4);
    uint32_t v = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  void U16(int16_t value) {
    uint16_t v = static_cast<uint16_t>(value);
    out_.push_back(static_cast<uint8_t>(v));
    out_.push_back(static_cast<uint8_t>(v >> 8));
  }

 private:
  std::vector<uint8_t>& out_;
};

int ExtraWords(int32_t fmt_size) {
  int64_t n = (static_cast<int64_t>(fmt_size) - 16) >> 1;
  return n < 0 ? 0 : static_cast<int>(std::min<int64_t>(n, kFmtExtraWords + 1));
}

}  // namespace

bool FitsUint32(int64_t v) {
  return v >= 0 && v <= std::numeric_limits<uint32_t>::max();
}

Status RefuseTooLong(const RIFF& layout, int64_t frames) {
  const int64_t frame_bytes = std::max(1, FrameBytes(layout));
  const int64_t header = static_cast<int64_t>(HeaderImage(layout).size()) - 8;
  const int64_t most = (std::numeric_limits<uint32_t>::max() - header) / frame_bytes;
  auto duration = [&](int64_t n) {
    const int64_t minutes = layout.SampleRate > 0 ? n / layout.SampleRate / 60 : 0;
    return (minutes >= 60 ? std::to_string(minutes / 60) + " h " : std::string()) +
           std::to_string(minutes % 60) + " min";
  };
  char format[64];
  std::snprintf(format, sizeof format, "%g kHz %s", layout.SampleRate / 1000.0,
                layout.NumChannels == 1 ? "mono" : "stereo");
  const std::string length = frames < 0 ? "more than " + duration(most) : duration(frames);
  return Status::Refused("the result would hold " + length + " of " + format +
                         "; a WAV file holds at most " + duration(most));
}

const char* PathOfType(int type) {
  switch (type) {
    case kImportWav:
      return paths::kImportWav.c_str();
    case kSecondSourceWav:
      return paths::kSecondWav.c_str();
    case kWorkingWav:
      return paths::kWorking.c_str();
    default:
      return nullptr;
  }
}

int FmtExtraCount(const RIFF& record) {
  return std::min(ExtraWords(record.FmtSize), kFmtExtraWords);
}

bool ParseHeader(const uint8_t* bytes, size_t size, RIFF& record) {
  RIFF r = record;
  FieldReader in(bytes, size);
  if (!in.Tag(r.ChunkID) || std::memcmp(r.ChunkID, "RIFF", 4) != 0) return false;
  bool ok = in.U32(r.ChunkSize) && in.Tag(r.Format) && in.Tag(r.FmtID) && in.U32(r.FmtSize) &&
            in.U16(r.AudioFormat) && in.U16(r.NumChannels) && in.U32(r.SampleRate) &&
            in.U32(r.ByteRate) && in.U16(r.BlockAlign) && in.U16(r.BitsPerSample);
  if (!ok) return false;
  int extra = ExtraWords(r.FmtSize);
  if (extra > kFmtExtraWords) return false;
  for (int i = 0; i < extra; ++i) {
    if (!in.U16(r.FmtExtra[i])) return false;
  }
  if (!in.Tag(r.FactID)) return false;
  r.HasFact = r.FactID[0] == 'f';
  if (r.HasFact) {
    if (!in.U32(r.FactSize) || !in.U32(r.FactData)) return false;
  } else {
    in.Back(4);
  }
  if (!in.Tag(r.DataID) || !in.U32(r.DataSize)) return false;
  // The data chunk comes after the others: ChunkSize counts it and the header.
  const int64_t offset = int64_t{r.ChunkSize} - r.DataSize + 8;
  if (offset < 0 || offset > std::numeric_limits<int32_t>::max()) return false;
  r.DataOffset = static_cast<int32_t>(offset);
  r.Seconds = r.ByteRate == 0 ? 0 : int64_t{r.DataSize} / r.ByteRate;
  record = r;
  return true;
}

bool GetInfo(RIFF& record, int type) {
  const char* path = PathOfType(type);
  if (path == nullptr) return false;
  std::string prefix;
  if (!ReadPrefix(path, kMaxHeaderBytes, &prefix).ok()) return false;
  return ParseHeader(reinterpret_cast<const uint8_t*>(prefix.data()), prefix.size(), record);
}

std::vector<uint8_t> HeaderImage(const RIFF& record) {
  std::vector<uint8_t> image;
  image.reserve(kMaxHeaderBytes);
  FieldWriter out(image);
  out.Tag(record.ChunkID);
  out.U32(record.ChunkSize);
  out.Tag(record.Format);
  out.Tag(record.FmtID);
  out.U32(record.FmtSize);
  out.U16(record.AudioFormat);
  out.U16(record.NumChannels);
  out.U32(record.SampleRate);
  out.U32(record.ByteRate);
  out.U16(record.BlockAlign);
  out.U16(record.BitsPerSample);
  for (int i = 0, n = FmtExtraCount(record); i < n; ++i) out.U16(record.FmtExtra[i]);
  if (record.HasFact) {
    out.Tag(record.FactID);
    out.U32(record.FactSize);
    out.U32(record.FactData);
  }
  out.Tag(record.DataID);
  out.U32(record.DataSize);
  return image;
}

Status PutFile(const RIFF& record, ReplacementFile& out) {
  std::vector<uint8_t> image = HeaderImage(record);
  return out.Write(image.data(), image.size());
}

Status Reset(RIFF& record, int type) {
  const char* path = PathOfType(type);
  if (path == nullptr) return Status::Failed("no workspace file of type " + std::to_string(type));
  if (!GetInfo(record, type)) {
    if (!Exists(path)) return Status::Failed(std::string("there is no ") + path);
    return Status::Failed(std::string(path) + " is not a WAV file this program can read");
  }
  return Status::Ok();
}

int FrameBytes(const RIFF& record) {
  return record.NumChannels * (record.BitsPerSample >> 3);
}

int64_t FrameCount(const RIFF& record) {
  int bytes = (record.NumChannels * record.BitsPerSample) >> 3;
  return bytes <= 0 ? 0 : int64_t{record.DataSize} / bytes;
}

Status CheckEditable(const RIFF& record, int64_t file_size, const std::string& name) {
  auto unsupported = [&](const std::string& why) {
    return Status::Failed(name + " cannot be edited: " + why);
  };
  if (record.BitsPerSample != 16) {
    return unsupported(std::to_string(record.BitsPerSample) + "-bit samples (16-bit expected)");
  }
  if (record.NumChannels != 1 && record.NumChannels != 2) {
    return unsupported(std::to_string(record.NumChannels) + " channels (1 or 2 expected)");
  }
  if (record.SampleRate <= 0 || record.SampleRate > kMaxSampleRate) {
    return unsupported("sample rate " + std::to_string(record.SampleRate));
  }
  if (record.DataOffset != static_cast<int32_t>(HeaderImage(record).size())) {
    return unsupported("the data chunk is not where the header ends (other chunks in the file?)");
  }
  if (static_cast<int64_t>(record.DataOffset) + record.DataSize > file_size) {
    return unsupported("the data chunk claims more bytes than the file holds");
  }
  return Status::Ok();
}

Status ReadEditableHeader(const fs::path& path, const std::string& name, RIFF* record) {
  std::string prefix;
  if (Status s = ReadPrefix(path, kMaxHeaderBytes, &prefix); !s.ok()) return s;
  if (!ParseHeader(reinterpret_cast<const uint8_t*>(prefix.data()), prefix.size(), *record)) {
    return Status::Failed("not a WAV file this program can read");
  }
  return CheckEditable(*record, FileSize(path), name);
}

}  // namespace tolva
