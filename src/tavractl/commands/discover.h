// `discover`: List installed and running agent harnesses (read-only).
#pragma once

#include <optional>
#include <string>

#include "context.h"
#include "tree.h"

namespace tavra::ctl {

struct DiscoverOptions {
  bool json = false;
  std::optional<std::string> catalog;
  bool all = false;
  bool line = false;
  bool unmanagedOnly = false;
};

// Declares the command on `parent`.
void setupDiscover(CommandTree& tree, CLI::App& parent);

void runDiscover(const DiscoverOptions& options, Context& context);

}  // namespace tavra::ctl
