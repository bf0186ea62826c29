#include "key_info.h"

#include <memory>

#include "errors.h"

namespace tavra::ctl {

void setupKeyInfo(CommandTree& tree, CLI::App& parent) {
  auto options = std::make_shared<KeyInfoOptions>();
  CLI::App& command = tree.addCommand(
      parent, "key-info",
      "Show the key id and public key of an org certificate, or the keys available to the daemon.");
  tree.addOption(command, "cert", options->cert, "Organisation certificate (PEM or DER).",
                 Completion::file);
  tree.setRun(command, [options, &context = tree.context()] { runKeyInfo(*options, context); });
}

void runKeyInfo(const KeyInfoOptions& options, Context& context) {
  (void)options;
  (void)context;
  notBuiltYet("key-info");
}

}  // namespace tavra::ctl
