// The three ways a command ends other than by returning normally.
//
// - ValidationError: the command found its input unusable. The tool prints "Error: ", the
//   message and the command's usage to standard error and ends with status 64.
// - ExitCode: the command ends the tool with exactly this status and prints nothing more.
// - Any other exception: the tool prints "Error: " and the error's text (a TavraError's prefixed
//   description) to standard error and ends with status 1.
#pragma once

#include <stdexcept>
#include <string>

namespace tavra::ctl {

class ValidationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ExitCode {
 public:
  explicit ExitCode(int status) noexcept : status_(status) {}
  int status() const noexcept { return status_; }

 private:
  int status_;
};

// The exit statuses of the tool.
inline constexpr int exitSuccess = 0;
inline constexpr int exitFailure = 1;
inline constexpr int exitUsage = 64;  // EX_USAGE: a parse or validation error

}  // namespace tavra::ctl
