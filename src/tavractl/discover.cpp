#include "discover.h"

#include <memory>

#include "errors.h"

namespace tavra::ctl {

void setupDiscover(CommandTree& tree, CLI::App& parent) {
  auto options = std::make_shared<DiscoverOptions>();
  CLI::App& command = tree.addCommand(parent, "discover",
                                      "List installed and running agent harnesses (read-only).");
  tree.addFlag(command, "json", options->json, "Print JSON.");
  tree.addOption(command, "catalog", options->catalog,
                 "Catalog file to use instead of the installed one.", Completion::file);
  tree.addFlag(command, "all", options->all, "Include harnesses that were not found.");
  tree.addFlag(command, "line", options->line,
               "One line (id[flags],…) for Jamf Extension Attributes / Intune custom attributes.");
  tree.addFlag(command, "unmanaged-only", options->unmanagedOnly,
               "With --line: only harnesses Tavra does not manage.");
  tree.setRun(command, [options, &context = tree.context()] { runDiscover(*options, context); });
}

void runDiscover(const DiscoverOptions& options, Context& context) {
  (void)options;
  (void)context;
  notBuiltYet("discover");
}

}  // namespace tavra::ctl
