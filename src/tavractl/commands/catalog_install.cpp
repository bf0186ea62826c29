#include "catalog_install.h"

#include <memory>

#include "input_file.h"
#include "tavra/catalog_store.h"
#include "tavra/catalog_trust.h"

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
  const std::string catalog = readInputFile(*context.services.fileSystem, options.catalog);
  const std::string signature =
      readInputFile(*context.services.fileSystem, CatalogStore::signaturePath(options.catalog),
                    InputSource::found);
  // A catalog installed by hand is a file named to the tool, whatever cache it goes to; the store
  // verifies before it writes anything.
  context.catalogCache(catalogKeysForExplicitFile()).install(catalog, signature);
  context.out << "installed\n";
}

}  // namespace tavra::ctl
