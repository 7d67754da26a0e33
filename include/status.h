#pragma once

#include <string>
#include <utility>

namespace tolva {

// Exit status of a run. The command file's run ends with kExitDone for a
// refusal too, as the front end expects; the command line uses kExitRefused.
enum ExitStatus : int {
  kExitDone = 0,
  kExitFailed = 1,
  kExitUsage = 2,    // the command line could not be read: nothing was touched
  kExitRefused = 3,  // the command line's refusal
};

// Outcome of a command, or of any step of one. Only main turns it into an exit
// status: a refusal is exit 0 (the command was not carried out, nothing but the
// command file and an editing command's snapshot changed), a failure exit 1.
class Status {
 public:
  enum class Kind { kOk, kRefused, kFailed };

  static Status Ok() { return Status(Kind::kOk, {}); }
  static Status Refused(std::string why) { return Status(Kind::kRefused, std::move(why)); }
  static Status Failed(std::string what) { return Status(Kind::kFailed, std::move(what)); }

  bool ok() const { return kind_ == Kind::kOk; }
  bool refused() const { return kind_ == Kind::kRefused; }
  bool failed() const { return kind_ == Kind::kFailed; }
  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }

 private:
  Status(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  Kind kind_;
  std::string message_;
};

}  // namespace tolva
