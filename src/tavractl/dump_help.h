// --experimental-dump-help: the whole command tree as JSON, for tools that build documentation
// or completions of their own. The shape is the argument parser's tool-info document:
// {"serializationVersion": 0, "command": {commandName, abstract, discussion, shouldDisplay,
// superCommands, subcommands, arguments: [{kind, names, preferredName, valueName, isOptional,
// isRepeating, shouldDisplay, abstract}]}}, absent fields left out.
#pragma once

#include <string>

#include "tree.h"

namespace tavra::ctl {

// The pretty-printed document followed by a line feed.
std::string dumpHelpJSON(const CommandTree& tree);

}  // namespace tavra::ctl
