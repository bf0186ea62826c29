#include "schema.h"

#include <memory>

#include "errors.h"
#include "load_catalog.h"
#include "tavra/profile_builder.h"
#include "tavra/renderer.h"
#include "terminal_text.h"

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
  Value schema;
  if (options.settings) {
    schema = ProfileBuilder::jamfSettingsSchema();
  } else {
    // The catalog only names the harnesses in a description, so any catalog will do and a
    // missing or broken one leaves the list empty.
    std::optional<Catalog> catalog;
    try {
      catalog = loadCatalog(options.catalog, /*verify=*/false, context);
    } catch (const std::exception&) {
      catalog.reset();
    }
    schema = ProfileBuilder::jamfFragmentSchema(catalog ? &*catalog : nullptr);
  }
  writeVerbatim(context.out, Renderer::jsonString(schema, /*pretty=*/true) + "\n");
}

}  // namespace tavra::ctl
