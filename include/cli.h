#pragma once

#include <string>

#include "status.h"

// The command line for people and scripts: one subcommand per row of the
// dispatch table, run through the same RunCommand as the command file, plus
// info, history and waveform.
namespace tolva {

// Exit status of the command line: 0 done, 1 failed, 2 usage error (nothing
// was touched), 3 refused (as the command file's refusal: nothing but the
// snapshot of an editing op changed).
int RunCommandLine(int argc, char** argv);

// Prints the outcome the way the command file's run does ("tolva: ..." or
// "tolva: refused: ..." on standard error) and returns the exit status: 1 for a
// failure, `refused_status` for a refusal, 0 otherwise.
int Report(const Status& status, int refused_status);

}  // namespace tolva
