#include "key_info.h"

#include <memory>

#include "errors.h"
#include "input_file.h"
#include "tavra/base64.h"
#include "tavra/certificate_key.h"
#include "tavra/secret_envelope.h"

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
  if (options.cert) {
    const std::string key =
        CertificateKey::x963PublicKey(readInputFile(*context.services.fileSystem, *options.cert));
    context.out << "key id:     " << SecretEnvelope::keyID(key) << "\n"
                << "public key: " << base64::encode(key) << "\n";
    return;
  }
  const std::vector<std::string> keyIDs = context.availableKeyIDs();
  if (keyIDs.empty()) {
    context.out << "No Tavra decryption keys available to this process.\n";
    return;
  }
  context.out << "Available key ids: ";
  for (std::size_t i = 0; i < keyIDs.size(); ++i) {
    context.out << (i == 0 ? "" : ", ") << keyIDs[i];
  }
  context.out << "\n";
}

}  // namespace tavra::ctl
