#include "commands.h"

#include "apply.h"
#include "catalog.h"
#include "decrypt.h"
#include "discover.h"
#include "encrypt.h"
#include "key_info.h"
#include "preview.h"
#include "profile.h"
#include "schema.h"
#include "simulate.h"
#include "status.h"
#include "validate.h"

namespace tavra::ctl {

void declareCommands(CommandTree& tree) {
  CLI::App& root = tree.root();
  setupStatus(tree, root);
  setupDiscover(tree, root);
  setupApply(tree, root);
  setupPreview(tree, root);
  setupSimulate(tree, root);
  setupValidate(tree, root);
  setupEncrypt(tree, root);
  setupDecrypt(tree, root);
  setupKeyInfo(tree, root);
  setupProfile(tree, root);
  setupSchema(tree, root);
  setupCatalog(tree, root);
}

}  // namespace tavra::ctl
