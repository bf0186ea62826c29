// `schema`: Print Jamf Pro custom JSON schemas.
#pragma once

#include <optional>
#include <string>

#include "context.h"
#include "tree.h"

namespace tavra::ctl {

struct SchemaOptions {
  bool settings = false;
  std::optional<std::string> catalog;
};

// Declares the command on `parent`.
void setupSchema(CommandTree& tree, CLI::App& parent);

void runSchema(const SchemaOptions& options, Context& context);

}  // namespace tavra::ctl
