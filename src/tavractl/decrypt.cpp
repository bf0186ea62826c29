#include "decrypt.h"

#include <memory>

#include "errors.h"

namespace tavra::ctl {

void setupDecrypt(CommandTree& tree, CLI::App& parent) {
  auto options = std::make_shared<DecryptOptions>();
  CLI::App& command = tree.addCommand(
      parent, "decrypt",
      "Decrypt an envelope with a PEM private key file (for testing an org key offline).");
  tree.addRequiredOption(command, "key", options->key, "PEM private key (tavra-org.key.pem).",
                         Completion::file);
  tree.addArgument(command, "value", options->value,
                   "Envelope or string containing envelopes. Read from stdin when omitted.");
  tree.setRun(command, [options, &context = tree.context()] { runDecrypt(*options, context); });
}

void runDecrypt(const DecryptOptions& options, Context& context) {
  (void)options;
  (void)context;
  notBuiltYet("decrypt");
}

}  // namespace tavra::ctl
