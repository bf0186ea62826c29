// `catalog install`: Install a signed catalog into the daemon cache (root).
#pragma once

#include <optional>
#include <string>

#include "context.h"
#include "tree.h"

namespace tavra::ctl {

struct CatalogInstallOptions {
  std::string catalog;
};

// Declares the command on `parent`.
void setupCatalogInstall(CommandTree& tree, CLI::App& parent);

void runCatalogInstall(const CatalogInstallOptions& options, Context& context);

}  // namespace tavra::ctl
