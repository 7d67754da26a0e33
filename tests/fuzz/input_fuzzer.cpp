// libFuzzer harness over the untrusted inputs that are parsed in memory: WAV
// headers and the command file. Built by scripts/fuzz.sh with clang.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver.h"
#include "riff.h"

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
  return 0;
}
