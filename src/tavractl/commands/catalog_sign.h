// `catalog sign`: Sign catalog.json, writing catalog.json.sig.
#pragma once

#include <optional>
#include <string>

#include "context.h"
#include "tree.h"

namespace tavra::ctl {

struct CatalogSignOptions {
  std::string catalog;
  std::string key;
};

// Declares the command on `parent`.
void setupCatalogSign(CommandTree& tree, CLI::App& parent);

void runCatalogSign(const CatalogSignOptions& options, Context& context);

}  // namespace tavra::ctl
