// Writes a test recording for the demonstration: a 16-bit PCM WAV with a
// canonical 44-byte header, a slow chirp on the left channel and a steady tone
// on the right, so that edits are easy to hear and to see in the numbers.
//
//   tolva_tone OUT.wav SECONDS [RATE] [CHANNELS]

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

void Put(std::vector<uint8_t>& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutTag(std::vector<uint8_t>& out, const char* tag) {
  out.insert(out.end(), tag, tag + 4);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s OUT.wav SECONDS [RATE] [CHANNELS]\n", argv[0]);
    return 2;
  }
  const double seconds = std::atof(argv[2]);
  const uint32_t rate = argc > 3 ? static_cast<uint32_t>(std::atoi(argv[3])) : 44100;
  const uint32_t channels = argc > 4 ? static_cast<uint32_t>(std::atoi(argv[4])) : 2;
  if (seconds <= 0 || rate == 0 || (channels != 1 && channels != 2)) {
    std::fprintf(stderr, "%s: bad arguments\n", argv[0]);
    return 2;
  }
  const uint32_t frames = static_cast<uint32_t>(seconds * rate);
  const uint32_t data = frames * channels * 2;
  std::vector<uint8_t> out;
  PutTag(out, "RIFF");
  Put(out, 36 + data, 4);
  PutTag(out, "WAVE");
  PutTag(out, "fmt ");
  Put(out, 16, 4);
  Put(out, 1, 2);
  Put(out, channels, 2);
  Put(out, rate, 4);
  Put(out, rate * channels * 2, 4);
  Put(out, channels * 2, 2);
  Put(out, 16, 2);
  PutTag(out, "data");
  Put(out, data, 4);
  const double pi = std::acos(-1.0);
  double phase = 0;
  for (uint32_t f = 0; f < frames; ++f) {
    double t = static_cast<double>(f) / rate;
    phase += 2 * pi * (220.0 + 40.0 * t) / rate;
    Put(out, static_cast<uint16_t>(static_cast<int16_t>(12000 * std::sin(phase))), 2);
    if (channels == 2) {
      Put(out, static_cast<uint16_t>(static_cast<int16_t>(8000 * std::sin(2 * pi * 330.0 * t))), 2);
    }
  }
  FILE* file = std::fopen(argv[1], "wb");
  if (!file || std::fwrite(out.data(), 1, out.size(), file) != out.size() ||
      std::fclose(file) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
