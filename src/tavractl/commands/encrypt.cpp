#include "encrypt.h"

#include <memory>

#include "errors.h"
#include "input_file.h"
#include "input_line.h"
#include "tavra/base64.h"
#include "tavra/certificate_key.h"
#include "tavra/secret_envelope.h"

namespace tavra::ctl {
namespace {

// The recipient's X9.63 public key: from the certificate when one is given, else from the
// base64 text. Its size and curve point are checked when sealing.
std::string recipientKey(const EncryptOptions& options, const FileSystem& files) {
  if (options.cert) return CertificateKey::x963PublicKey(readInputFile(files, *options.cert));
  if (options.publicKey) {
    if (std::optional<std::string> key = base64::decode(*options.publicKey)) return *key;
  }
  throw ValidationError("pass --cert or --public-key");
}

}  // namespace

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
  const std::string recipient = recipientKey(options, *context.services.fileSystem);
  // The key is settled before standard input is touched, so a bad certificate is reported
  // before the administrator types the secret.
  const std::string secret =
      options.value ? *options.value : readInputLine(context.in).value_or(std::string());
  if (secret.empty()) throw ValidationError("empty secret");
  context.out << SecretEnvelope::encrypt(secret, recipient) << "\n";
}

}  // namespace tavra::ctl
