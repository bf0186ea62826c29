// The whole command tree of tavractl.
#pragma once

#include "tree.h"

namespace tavra::ctl {

// Declares every command on the tree's root, in the order help lists them.
void declareCommands(CommandTree& tree);

}  // namespace tavra::ctl
