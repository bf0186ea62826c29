// `catalog verify`: Verify catalog.json against catalog.json.sig and the embedded keys.
#pragma once

#include <optional>
#include <string>

#include "context.h"
#include "tree.h"

namespace tavra::ctl {

struct CatalogVerifyOptions {
  std::string catalog;
};

// Declares the command on `parent`.
void setupCatalogVerify(CommandTree& tree, CLI::App& parent);

void runCatalogVerify(const CatalogVerifyOptions& options, Context& context);

}  // namespace tavra::ctl
