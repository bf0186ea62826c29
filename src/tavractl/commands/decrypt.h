// `decrypt`: Decrypt an envelope with a PEM private key file (for testing an org key offline).
#pragma once

#include <optional>
#include <string>

#include "context.h"
#include "tree.h"

namespace tavra::ctl {

struct DecryptOptions {
  std::string key;
  std::optional<std::string> value;
};

// Declares the command on `parent`.
void setupDecrypt(CommandTree& tree, CLI::App& parent);

void runDecrypt(const DecryptOptions& options, Context& context);

}  // namespace tavra::ctl
