#include "progress.h"

namespace tolva {

namespace {
ProgressListener listener = nullptr;
}  // namespace

void SetProgressListener(ProgressListener l) {
  listener = l;
}

void ReportProgress(int64_t done, int64_t total) {
  if (listener != nullptr && total > 0) listener(done, total);
}

}  // namespace tolva
