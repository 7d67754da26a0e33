#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
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
  // The recording to read (import, insert, mix: any format tolva reads) or the
  // file to write (export: the format its extension names) in place of the
  // fixed MP3 name under audio/. Empty for a command from the command file.
  std::filesystem::path file = {};
};

// Reads "op begin end position amount" the way "%d%lf%lf%lf%lf" does (numbers
// separated by white space, anything after the fifth ignored). Refuses text
// with fewer than five numbers and numbers that are not finite.
Status ParseCommand(const std::string& text, Command* command);

// Which field of the command an argument of a subcommand fills, and how the
// command line reads it.
enum class Slot { kBegin, kEnd, kPosition, kAmount, kFile };
enum class Form {
  kTime,        // seconds ("90.5") or minutes and seconds ("1:30.5")
  kNumber,      // a decimal number
  kWhole,       // a whole number
  kChannel,     // left, right, 0 or 1
  kPath,        // a file name
  kExportFile,  // a file name whose extension names a format tolva exports
};
struct Argument {
  const char* name = nullptr;  // nullptr ends the list
  Slot slot = Slot::kBegin;
  Form form = Form::kTime;
  const char* help = nullptr;
  bool optional = false;
};

// One entry of the dispatch table. Editing ops (2 to 100) run after the
// snapshot, the header load and the range check. The last three fields make
// the op a subcommand of the command line; a row that leaves them out becomes
// the subcommand `name` without arguments.
struct Operation {
  int op;
  const char* name;
  const char* summary;
  Status (*run)(const Command&);
  const char* subcommand = nullptr;
  std::array<Argument, 4> arguments = {};
  const char* example = nullptr;

  const char* SubcommandName() const { return subcommand != nullptr ? subcommand : name; }
  // The arguments in use (those before the first without a name).
  std::span<const Argument> Arguments() const {
    size_t count = 0;
    while (count < arguments.size() && arguments[count].name != nullptr) ++count;
    return {arguments.data(), count};
  }
};
std::span<const Operation> Operations();

// What an export writes, chosen by the extension of the file it writes.
struct ExportFormat {
  const char* extension;  // lower case, with the dot
  const char* noun;       // "the MP3", for messages
  // Encodes the working file `wav` into a new version of `out` through `scratch`.
  Status (*encode)(const std::filesystem::path& wav, const std::filesystem::path& out,
                   const std::filesystem::path& scratch);
};
// By the extension of `file`, in any case; nullptr for one tolva does not export.
const ExportFormat* ExportFormatOf(const std::filesystem::path& file);

// Carries out a parsed command.
Status RunCommand(const Command& command);

// The whole run: read and delete the command file, carry the command out.
Status Run();

// What every run does first in a workspace it holds: removes the scratch files
// of a killed run and finishes or undoes the history step it left.
Status TidyWorkspace();

// A time of a command as messages show it ("%g").
std::string FormatSeconds(double value);

// int(amount): truncation toward zero, saturated to the 32-bit range.
int TruncateToInt(double value);

}  // namespace tolva
