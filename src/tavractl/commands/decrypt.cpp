#include "decrypt.h"

#include <memory>

#include "errors.h"
#include "input_file.h"
#include "input_line.h"
#include "tavra/platform/crypto.h"
#include "tavra/secret_envelope.h"
#include "terminal_text.h"

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
  const InMemoryKeyProvider keys(
      {crypto::P256PrivateKey::fromPEM(readInputFile(*context.services.fileSystem, options.key))});
  const std::optional<std::string> input =
      options.value ? options.value : readInputLine(context.in);
  if (!input) throw ValidationError("no input");
  const Value opened = SecretEnvelope::decryptAll(Value(*input), keys);
  // The plaintext exactly as it was sealed: data for whoever reads the output.
  writeVerbatim(context.out, *opened.asString() + "\n");
}

}  // namespace tavra::ctl
