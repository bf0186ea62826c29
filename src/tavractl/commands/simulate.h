// `simulate`: Run a complete Tavra pass into a folder, as if the fragments were installed on a Mac.
#pragma once

#include <optional>
#include <string>

#include "context.h"
#include "fragment_inputs.h"
#include "tree.h"

namespace tavra::ctl {

struct SimulateOptions {
  FragmentInputs inputs;
  std::string catalog;
  std::string out;
  std::optional<std::string> key;
};

// Declares the command on `parent`.
void setupSimulate(CommandTree& tree, CLI::App& parent);

void runSimulate(const SimulateOptions& options, Context& context);

}  // namespace tavra::ctl
