#include "schema.h"

#include <memory>

#include "errors.h"

namespace tavra::ctl {

void setupSchema(CommandTree& tree, CLI::App& parent) {
  auto options = std::make_shared<SchemaOptions>();
  CLI::App& command = tree.addCommand(parent, "schema", "Print Jamf Pro custom JSON schemas.");
  tree.addFlag(command, "settings", options->settings,
               "Schema for the daemon settings domain instead of a policy fragment.");
  tree.addOption(command, "catalog", options->catalog,
                 "Catalog file used to list harnesses in the description.", Completion::file);
  tree.setRun(command, [options, &context = tree.context()] { runSchema(*options, context); });
}

void runSchema(const SchemaOptions& options, Context& context) {
  (void)options;
  (void)context;
  notBuiltYet("schema");
}

}  // namespace tavra::ctl
