// `encrypt`: Encrypt a secret for use inside a fragment (TAVRA-ENC:v1 envelope).
#pragma once

#include <optional>
#include <string>

#include "context.h"
#include "tree.h"

namespace tavra::ctl {

struct EncryptOptions {
  std::optional<std::string> cert;
  std::optional<std::string> publicKey;
  std::optional<std::string> value;
};

// Declares the command on `parent`.
void setupEncrypt(CommandTree& tree, CLI::App& parent);

void runEncrypt(const EncryptOptions& options, Context& context);

}  // namespace tavra::ctl
