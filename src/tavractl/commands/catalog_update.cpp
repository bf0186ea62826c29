#include "catalog_update.h"

#include <memory>

#include "tavra/catalog_trust.h"

namespace tavra::ctl {
namespace {

// `text` in double quotes, with a double quote or backslash inside preceded by a backslash.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (const char character : text) {
    if (character == '"' || character == '\\') out.push_back('\\');
    out.push_back(character);
  }
  return out + "\"";
}

}  // namespace

void setupCatalogUpdate(CommandTree& tree, CLI::App& parent) {
  auto options = std::make_shared<CatalogUpdateOptions>();
  CLI::App& command = tree.addCommand(parent, "update", "Download the catalog now (root).");
  tree.setRun(command,
              [options, &context = tree.context()] { runCatalogUpdate(*options, context); });
}

void runCatalogUpdate(const CatalogUpdateOptions& options, Context& context) {
  (void)options;
  // The same settings, keys and store as the daemon's own refresh.
  const TavraSettings settings = context.settings();
  const CatalogStore::UpdateResult result =
      context.catalogCache(catalogKeysForCache(settings))
          .update(settings.catalogURL, settings.catalogPinnedVersion);
  context.out << (result.kind == CatalogStore::UpdateResult::Kind::updated ? "updated"
                                                                           : "unchanged")
              << "(" << quoted(result.version) << ")\n";
}

}  // namespace tavra::ctl
