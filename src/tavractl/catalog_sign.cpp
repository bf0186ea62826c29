#include "catalog_sign.h"

#include <memory>

#include "errors.h"

namespace tavra::ctl {

void setupCatalogSign(CommandTree& tree, CLI::App& parent) {
  auto options = std::make_shared<CatalogSignOptions>();
  CLI::App& command =
      tree.addCommand(parent, "sign", "Sign catalog.json, writing catalog.json.sig.");
  tree.addRequiredArgument(command, "catalog", options->catalog, "", Completion::file);
  tree.addRequiredOption(command, "key", options->key, "Base64 Ed25519 private key file.",
                         Completion::file);
  tree.setRun(command, [options, &context = tree.context()] { runCatalogSign(*options, context); });
}

void runCatalogSign(const CatalogSignOptions& options, Context& context) {
  (void)options;
  (void)context;
  notBuiltYet("catalog sign");
}

}  // namespace tavra::ctl
