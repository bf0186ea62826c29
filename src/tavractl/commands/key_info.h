// `key-info`: Show the key id and public key of an org certificate, or the keys available to the
// daemon.
#pragma once

#include <optional>
#include <string>

#include "context.h"
#include "tree.h"

namespace tavra::ctl {

struct KeyInfoOptions {
  std::optional<std::string> cert;
};

// Declares the command on `parent`.
void setupKeyInfo(CommandTree& tree, CLI::App& parent);

void runKeyInfo(const KeyInfoOptions& options, Context& context);

}  // namespace tavra::ctl
