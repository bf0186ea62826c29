// `catalog update`: Download the catalog now (root).
#pragma once

#include "context.h"
#include "tree.h"

namespace tavra::ctl {

struct CatalogUpdateOptions {};

// Declares the command on `parent`.
void setupCatalogUpdate(CommandTree& tree, CLI::App& parent);

void runCatalogUpdate(const CatalogUpdateOptions& options, Context& context);

}  // namespace tavra::ctl
