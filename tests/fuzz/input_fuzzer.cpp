// libFuzzer harness over the untrusted inputs: WAV headers and the command
// file, parsed in memory, and recordings of every format, decoded from a file
// as an import decodes them. Built and seeded by scripts/fuzz.sh.

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "codec.h"
#include "driver.h"
#include "riff.h"

namespace {

// A recording decodes into a working file, or fails; either way no scratch
// file stays. Compressed inputs may decode to far more than they are: a MiB
// of audio is plenty.
void DecodeRecording(const uint8_t* data, size_t size) {
  namespace fs = std::filesystem;
  static const fs::path folder = [] {
    fs::path f = fs::temp_directory_path() / ("tolva-fuzz-" + std::to_string(::getpid()));
    fs::create_directories(f);
    return f;
  }();
  const fs::path in = folder / "in", wav = folder / "out.wav", scratch = folder / "out.part";
  std::ofstream(in, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  std::string damage;
  tolva::Status s = tolva::DecodeRecordingToWav(in, wav, scratch, &damage, 1 << 20);
  if (fs::exists(scratch) || fs::exists(wav) != s.ok()) std::abort();
  if (s.ok()) {
    tolva::RIFF record{};
    if (!tolva::ReadEditableHeader(wav, "out.wav", &record).ok()) std::abort();
    fs::remove(wav);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tolva::RIFF record{};
  if (tolva::ParseHeader(data, size, record)) {
    (void)tolva::CheckEditable(record, static_cast<int64_t>(size), "input");
    // What is written back must read back as the same header.
    std::vector<uint8_t> image = tolva::HeaderImage(record);
    tolva::RIFF again{};
    if (!tolva::ParseHeader(image.data(), image.size(), again)) std::abort();
    if (tolva::HeaderImage(again) != image) std::abort();
  }
  tolva::Command command;
  (void)tolva::ParseCommand(std::string(reinterpret_cast<const char*>(data), size), &command);
  DecodeRecording(data, size);
  return 0;
}
