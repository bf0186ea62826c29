#include "support/scratch_environment.h"

#include "support/services.h"

namespace tavra::test {

Environment scratchEnvironment(const ScratchEnvironmentOptions& options) {
  Services core = options.services ? *options.services : services();
  if (options.fileSystem) core.fileSystem = options.fileSystem;
  const std::string support = options.folder + "/support";
  const std::string catalog =
      options.catalogDirectory.empty() ? support + "/catalog" : options.catalogDirectory;
  std::vector<std::string> trusted;
  if (!options.trustedKey.empty()) trusted.push_back(options.trustedKey);
  return Environment{
      .preferences = ManagedPreferences(options.folder + "/prefs", false, core.fileSystem),
      .catalogStore = CatalogStore(catalog, trusted, core.fileSystem),
      .supportDirectory = support,
      .keys = options.keys,
      .builtInPathPrefixes = options.builtInPathPrefixes,
      .services = core,
  };
}

}  // namespace tavra::test
