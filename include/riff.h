#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "status.h"

namespace tolva {

constexpr int kFmtExtraWords = 666;
// The longest header image: 36 fixed bytes, the extra fmt words, a fact chunk
// and the data chunk header.
constexpr size_t kMaxHeaderBytes = 36 + 2 * kFmtExtraWords + 12 + 8;

// The WAV header record. Fields hold the file's values; DataOffset and Seconds
// are derived when the header is read and never written. The fields that
// give a length (the RIFF size, the byte rate, the fact chunk's frame count,
// the data size) are unsigned 32-bit, as the format has them: a WAV file
// holds up to 4 GiB of audio.
struct RIFF {
  char ChunkID[4];
  uint32_t ChunkSize;
  char Format[4];
  char FmtID[4];
  int32_t FmtSize;
  int16_t AudioFormat;
  int16_t NumChannels;
  int32_t SampleRate;
  uint32_t ByteRate;
  int16_t BlockAlign;
  int16_t BitsPerSample;
  int16_t FmtExtra[kFmtExtraWords];
  bool HasFact;
  char FactID[4];
  int32_t FactSize;
  uint32_t FactData;
  char DataID[4];
  uint32_t DataSize;
  int32_t DataOffset;
  int64_t Seconds;
};

// The working file's record and the second source's record.
extern RIFF Res;
extern RIFF Res1;

// Which workspace file GetInfo and Reset read.
enum FileType : int { kImportWav = 0, kSecondSourceWav = 1, kWorkingWav = 2 };

// Path of the file of `type`, or nullptr for a type that names no file.
const char* PathOfType(int type);

// Decodes a header image from the first `size` bytes of a file. Returns false,
// leaving `record` as it was, when the bytes do not start with "RIFF", end
// before the data chunk header, carry more extra fmt words than the record
// holds, or give derived fields that do not fit 32 bits. Only the first byte of
// the chunk after fmt is compared: any chunk starting with 'f' is read as a
// 12-byte fact chunk.
bool ParseHeader(const uint8_t* bytes, size_t size, RIFF& record);

// Reads the header of the file of `type` into `record`; false (record
// unchanged) when the file cannot be opened or ParseHeader refuses it.
bool GetInfo(RIFF& record, int type);

// Count of extra fmt words written after the first 16 bytes of the fmt body.
int FmtExtraCount(const RIFF& record);

// The header image of `record`: the bytes PutFile writes before the samples.
std::vector<uint8_t> HeaderImage(const RIFF& record);

class ReplacementFile;
// Writes the header image of `record` as the start of a new version of a file.
Status PutFile(const RIFF& record, ReplacementFile& out);

// GetInfo(record, type), failing when the header cannot be read. Installing a
// decoded import as the working file is the import's own step.
Status Reset(RIFF& record, int type);

// Whether the effects can work on a file with this header: 16-bit samples, one
// or two channels, a sample rate in use for audio, sizes that agree with the
// header image and with `file_size`.
Status CheckEditable(const RIFF& record, int64_t file_size, const std::string& name);

// Reads the header of the file at `path` into `*record` and checks it as
// CheckEditable does (`name` names the file in that message).
Status ReadEditableHeader(const std::filesystem::path& path, const std::string& name, RIFF* record);

// Whether a size computed in 64 bits fits the header's unsigned 32-bit fields.
bool FitsUint32(int64_t value);

// The refusal of a result of `frames` frames in `layout`'s format that its
// header could not hold: how long it would be, and the most a WAV file of that
// format holds ("... 7 h 2 min of 44.1 kHz stereo; a WAV file holds at most
// 6 h 45 min"); for `frames` -1, a length not known, "more than" that most.
Status RefuseTooLong(const RIFF& layout, int64_t frames);

// Frame terms shared by every effect.
int FrameBytes(const RIFF& record);
// Whole frames in the data chunk.
int64_t FrameCount(const RIFF& record);

}  // namespace tolva
