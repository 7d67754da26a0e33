#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "status.h"

// The command driver: one command from audio/tolvaset.in, one operation.
namespace tolva {

struct Command {
  int64_t op = 0;  // as written; a code outside every table entry does nothing
  double begin = 0;
  double end = 0;
  double position = 0;
  double amount = 0;
};

// Reads "op begin end position amount" the way "%d%lf%lf%lf%lf" does (numbers
// separated by white space, anything after the fifth ignored). Refuses text
// with fewer than five numbers and numbers that are not finite.
Status ParseCommand(const std::string& text, Command* command);

// One entry of the dispatch table. Editing ops (2 to 100) run after the
// snapshot, the header load and the range check.
struct Operation {
  int op;
  const char* name;
  const char* summary;
  Status (*run)(const Command&);
};
std::span<const Operation> Operations();

// Carries out a parsed command.
Status RunCommand(const Command& command);

// The whole run: read and delete the command file, carry the command out.
Status Run();

// A time of a command as messages show it ("%g").
std::string FormatSeconds(double value);

// int(amount): truncation toward zero, saturated to the 32-bit range.
int TruncateToInt(double value);

// Ops whose glue lives beside the code it drives.
Status RunMerge(const Command& command);    // op 5
Status RunCombine(const Command& command);  // op 10

}  // namespace tolva
