#include "catalog_sign.h"

#include <memory>

#include "input_file.h"
#include "output_file.h"
#include "tavra/catalog.h"
#include "tavra/catalog_signer.h"
#include "tavra/catalog_store.h"

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
  const std::string catalog = readInputFile(*context.services.fileSystem, options.catalog);
  // A catalog the daemon would refuse is never signed; the key is not even read for it.
  Catalog::decode(catalog);
  const std::string key = readInputFile(*context.services.fileSystem, options.key);
  const std::string signature = CatalogSigner::sign(catalog, key);
  const std::string signatureFile = CatalogStore::signaturePath(options.catalog);
  replaceOutputFile(*context.services.fileSystem, signatureFile, signature + "\n");
  context.out << "wrote " << signatureFile << "\n";
}

}  // namespace tavra::ctl
