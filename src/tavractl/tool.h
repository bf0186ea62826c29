// One invocation of tavractl: parse the words into exactly one command of the tree, run it and
// turn its outcome into an exit status.
//
// Help (--help, -h, the help subcommand, a group given no subcommand) and --version print to
// the context's output and end with 0. A parse or validation error prints "Error: ", the message,
// the command's usage and a hint to `errors` and ends with 64; an ExitCode ends with its status;
// any other error prints "Error: " and its text to `errors` and ends with 1. What a command
// printed before it failed stays printed. Nothing escapes as an exception.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "context.h"

namespace tavra::ctl {

// `arguments` are the words after the program name.
int runTool(const std::vector<std::string>& arguments, Context& context, std::ostream& errors);

}  // namespace tavra::ctl
