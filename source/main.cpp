#include <cstdio>

#include "driver.h"

// tolva takes no arguments: the command comes from audio/tolvaset.in in the
// current directory.
int main() {
  tolva::Status status = tolva::Run();
  if (status.failed()) {
    std::fprintf(stderr, "tolva: %s\n", status.message().c_str());
    return 1;
  }
  if (status.refused()) std::fprintf(stderr, "tolva: refused: %s\n", status.message().c_str());
  return 0;
}
