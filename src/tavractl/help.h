// Help and usage texts, generated from the command tree.
#pragma once

#include <string>

#include "tree.h"

namespace tavra::ctl {

// The usage of a command without the "USAGE: " label, e.g.
// "tavractl status [--json] [--check] [--line] [--file <file>]".
std::string usageLine(const CLI::App& command);

// The whole help of a command: overview, discussion, usage, arguments, options, subcommands.
std::string helpText(const CommandTree& tree, const CLI::App& command);

// What a parse or validation error prints: "Error: ", the message, the usage and a hint.
std::string usageErrorText(const CLI::App& command, const std::string& message);

// A member as usage and errors name it: "--file <file>", "--json", "<paths> ...", "<value>".
std::string memberSynopsis(const CLI::Option& member);

}  // namespace tavra::ctl
