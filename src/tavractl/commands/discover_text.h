// The two text forms of an inventory that `discover` prints.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "tavra/discovery.h"

namespace tavra::ctl {

// The one line for inventory attributes, without its line feed: the installed or running
// entries as "id[managed|unmanaged(,running)]" joined by ", ", or "none".
std::string inventoryLine(const std::vector<Discovery::HarnessInventory>& inventory,
                          const std::set<std::string>& managed, bool unmanagedOnly);

// The human listing, every line ending in a line feed.
std::string inventoryListing(const std::vector<Discovery::HarnessInventory>& inventory,
                             const std::set<std::string>& managed);

}  // namespace tavra::ctl
