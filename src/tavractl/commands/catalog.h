// `catalog`: the group of catalog commands (sign, verify, install, update). Given alone, it
// shows its help.
#pragma once

#include "tree.h"

namespace tavra::ctl {

void setupCatalog(CommandTree& tree, CLI::App& parent);

}  // namespace tavra::ctl
