#include "catalog.h"

#include "catalog_install.h"
#include "catalog_sign.h"
#include "catalog_update.h"
#include "catalog_verify.h"

namespace tavra::ctl {

void setupCatalog(CommandTree& tree, CLI::App& parent) {
  CLI::App& group = tree.addCommand(parent, "catalog", "Sign, verify and install vendor catalogs.");
  setupCatalogSign(tree, group);
  setupCatalogVerify(tree, group);
  setupCatalogInstall(tree, group);
  setupCatalogUpdate(tree, group);
}

}  // namespace tavra::ctl
