// `preview`: Show the vendor files Tavra would write for a set of fragments. Nothing is written.
#pragma once

#include <optional>
#include <string>

#include "context.h"
#include "fragment_inputs.h"
#include "tree.h"

namespace tavra::ctl {

struct PreviewOptions {
  FragmentInputs inputs;
  std::optional<std::string> catalog;
  std::optional<std::string> harness;
  std::optional<std::string> key;
};

// Declares the command on `parent`.
void setupPreview(CommandTree& tree, CLI::App& parent);

void runPreview(const PreviewOptions& options, Context& context);

}  // namespace tavra::ctl
