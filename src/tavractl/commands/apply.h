// `apply`: Ask the daemon to re-apply now (or run once in-process with --local).
#pragma once

#include <optional>
#include <string>

#include "context.h"
#include "tree.h"

namespace tavra::ctl {

struct ApplyOptions {
  bool local = false;
};

// Declares the command on `parent`.
void setupApply(CommandTree& tree, CLI::App& parent);

void runApply(const ApplyOptions& options, Context& context);

}  // namespace tavra::ctl
