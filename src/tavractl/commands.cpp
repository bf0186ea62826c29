#include "commands.h"

#include "commands/apply.h"
#include "commands/catalog.h"
#include "commands/decrypt.h"
#include "commands/discover.h"
#include "commands/encrypt.h"
#include "commands/key_info.h"
#include "commands/preview.h"
#include "commands/profile.h"
#include "commands/schema.h"
#include "commands/simulate.h"
#include "commands/status.h"
#include "commands/validate.h"

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
