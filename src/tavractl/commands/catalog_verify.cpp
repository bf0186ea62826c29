#include "catalog_verify.h"

#include <memory>

#include "load_catalog.h"

namespace tavra::ctl {

void setupCatalogVerify(CommandTree& tree, CLI::App& parent) {
  auto options = std::make_shared<CatalogVerifyOptions>();
  CLI::App& command = tree.addCommand(
      parent, "verify", "Verify catalog.json against catalog.json.sig and the embedded keys.");
  tree.addRequiredArgument(command, "catalog", options->catalog, "", Completion::file);
  tree.setRun(command,
              [options, &context = tree.context()] { runCatalogVerify(*options, context); });
}

void runCatalogVerify(const CatalogVerifyOptions& options, Context& context) {
  const Catalog catalog = loadCatalog(options.catalog, /*verify=*/true, context);
  context.out << "\u2713 catalog " << catalog.catalogVersion << " signature valid; "
              << catalog.harnesses.size() << " harnesses\n";
}

}  // namespace tavra::ctl
