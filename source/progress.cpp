#include "progress.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "times.h"

namespace tolva {

namespace {

using Clock = std::chrono::steady_clock;

ProgressListener listener = nullptr;

// One self-updating line on a terminal, shown only for steps that last.
struct ProgressLine {
  Clock::time_point start = Clock::now();
  Clock::time_point last_drawn;
  bool drawn = false;
};
ProgressLine progress_line;

void DrawProgress(int64_t done, int64_t total) {
  const Clock::time_point now = Clock::now();
  const double elapsed = std::chrono::duration<double>(now - progress_line.start).count();
  if (elapsed < 0.5) return;
  if (progress_line.drawn && now - progress_line.last_drawn < std::chrono::milliseconds(100)) {
    return;
  }
  const double part = std::clamp(static_cast<double>(done) / static_cast<double>(total), 0.0, 1.0);
  const double left = part > 0 ? elapsed * (1 - part) / part : 0;
  std::fprintf(stderr, "\r\033[K%3d%%  %s elapsed  %s left", static_cast<int>(part * 100),
               ClockTime(elapsed, 0).c_str(), ClockTime(left, 0).c_str());
  std::fflush(stderr);
  progress_line.last_drawn = now;
  progress_line.drawn = true;
}

}  // namespace

void SetProgressListener(ProgressListener l) {
  listener = l;
}

void ReportProgress(int64_t done, int64_t total) {
  if (listener != nullptr && total > 0) listener(done, total);
}

void BeginProgressLine() {
  progress_line = ProgressLine{};
  if (isatty(STDERR_FILENO)) SetProgressListener(DrawProgress);
}

void EndProgressLine() {
  SetProgressListener(nullptr);
  if (progress_line.drawn) std::fputs("\r\033[K", stderr);
  progress_line.drawn = false;
}

}  // namespace tolva
