// `validate`: Check fragment files against the catalog.
#pragma once

#include <optional>
#include <string>

#include "context.h"
#include "fragment_inputs.h"
#include "tree.h"

namespace tavra::ctl {

struct ValidateOptions {
  FragmentInputs inputs;
  std::optional<std::string> catalog;
};

// Declares the command on `parent`.
void setupValidate(CommandTree& tree, CLI::App& parent);

void runValidate(const ValidateOptions& options, Context& context);

}  // namespace tavra::ctl
