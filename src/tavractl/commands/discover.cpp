#include "discover.h"

#include <memory>
#include <set>

#include "discover_text.h"
#include "errors.h"
#include "load_catalog.h"
#include "print_json.h"

namespace tavra::ctl {
namespace {

// The harnesses the daemon's last report calls managed; none when there is no usable report.
std::set<std::string> managedHarnesses(const FileSystem& files, const std::string& statusPath) {
  std::set<std::string> managed;
  try {
    for (const auto& harness : StatusReport::load(files, statusPath).harnesses) {
      if (harness.state == StatusReport::HarnessState::managed) managed.insert(harness.id);
    }
  } catch (const std::exception&) {
    managed.clear();
  }
  return managed;
}

}  // namespace

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
  const Catalog catalog = loadCatalog(options.catalog, /*verify=*/false, context);
  const std::set<std::string> managed =
      managedHarnesses(*context.services.fileSystem, context.statusPath);

  std::vector<Discovery::HarnessInventory> kept;
  for (auto& entry : context.makeDiscovery().run(catalog)) {
    if (options.all || entry.installed || entry.running || !entry.userConfigs.empty()) {
      kept.push_back(std::move(entry));
    }
  }

  if (options.json) {
    printJSON(context.out, kept);
  } else if (options.line) {
    context.out << inventoryLine(kept, managed, options.unmanagedOnly) << "\n";
  } else {
    context.out << inventoryListing(kept, managed);
  }
}

}  // namespace tavra::ctl
