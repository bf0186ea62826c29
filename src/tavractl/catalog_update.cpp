#include "catalog_update.h"

#include <memory>

#include "errors.h"

namespace tavra::ctl {

void setupCatalogUpdate(CommandTree& tree, CLI::App& parent) {
  auto options = std::make_shared<CatalogUpdateOptions>();
  CLI::App& command = tree.addCommand(parent, "update", "Download the catalog now (root).");
  tree.setRun(command,
              [options, &context = tree.context()] { runCatalogUpdate(*options, context); });
}

void runCatalogUpdate(const CatalogUpdateOptions& options, Context& context) {
  (void)options;
  (void)context;
  notBuiltYet("catalog update");
}

}  // namespace tavra::ctl
