#pragma once

#include <cstdint>

// How far a long step has come, for a person watching a terminal. The loops of
// the import, the export and the streaming core report; nobody listens unless
// the command line installs a listener, so a report costs one test then.
namespace tolva {

using ProgressListener = void (*)(int64_t done, int64_t total);

void SetProgressListener(ProgressListener listener);

// `done` of `total` units of the current step; a `total` of 0 or less says
// nothing.
void ReportProgress(int64_t done, int64_t total);

// From now on, when standard error is a terminal, steps that last more than
// half a second show one self-updating line there (percent, elapsed,
// remaining); EndProgressLine clears it and stops.
void BeginProgressLine();
void EndProgressLine();

}  // namespace tolva
