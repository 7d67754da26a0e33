#include "cli.h"
#include "driver.h"

// Without arguments tolva is the front end's back end: the command comes from
// audio/tolvaset.in in the current directory. With arguments it is a command
// line for people.
int main(int argc, char** argv) {
  if (argc > 1) return tolva::RunCommandLine(argc, argv);
  return tolva::Report(tolva::Run(), tolva::kExitDone);
}
