#include "catalog_install.h"

#include <memory>

#include "errors.h"

namespace tavra::ctl {

void setupCatalogInstall(CommandTree& tree, CLI::App& parent) {
  auto options = std::make_shared<CatalogInstallOptions>();
  CLI::App& command =
      tree.addCommand(parent, "install", "Install a signed catalog into the daemon cache (root).");
  tree.addRequiredArgument(command, "catalog", options->catalog, "", Completion::file);
  tree.setRun(command,
              [options, &context = tree.context()] { runCatalogInstall(*options, context); });
}

void runCatalogInstall(const CatalogInstallOptions& options, Context& context) {
  (void)options;
  (void)context;
  notBuiltYet("catalog install");
}

}  // namespace tavra::ctl
