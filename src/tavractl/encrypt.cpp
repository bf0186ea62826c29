#include "encrypt.h"

#include <memory>

#include "errors.h"

namespace tavra::ctl {

void setupEncrypt(CommandTree& tree, CLI::App& parent) {
  auto options = std::make_shared<EncryptOptions>();
  CLI::App& command = tree.addCommand(
      parent, "encrypt", "Encrypt a secret for use inside a fragment (TAVRA-ENC:v1 envelope).");
  tree.addOption(command, "cert", options->cert,
                 "Organisation certificate (PEM or DER) with a P-256 key.", Completion::file);
  tree.addOption(command, "public-key", options->publicKey,
                 "Organisation public key, base64 X9.63 (from `tavractl key-info`).");
  tree.addArgument(
      command, "value", options->value,
      "The secret. Read from stdin when omitted (recommended; keeps it out of shell history).");
  tree.setRun(command, [options, &context = tree.context()] { runEncrypt(*options, context); });
}

void runEncrypt(const EncryptOptions& options, Context& context) {
  (void)options;
  (void)context;
  notBuiltYet("encrypt");
}

}  // namespace tavra::ctl
