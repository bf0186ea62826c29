#include "tavra/environment.h"

#include <stdexcept>

#include "tavra/constants.h"
#include "tavra/path_policy.h"

namespace tavra {

void flushPreferencesCacheWithKillall(const platform::ProgramLauncher& programs) noexcept {
  // Its status is of no interest: with no cfprefsd running there is nothing to flush.
  (void)programs.run("/usr/bin/killall", {"cfprefsd"});
}

Environment Environment::system(const TavraSettings& settings, const Services& services) {
  if (!services.programs)
    throw std::invalid_argument("Environment::system needs a ProgramLauncher");
  std::vector<std::string> trusted = Constants::embeddedCatalogKeys();
  trusted.insert(trusted.end(), settings.catalogTrustedKeys.begin(),
                 settings.catalogTrustedKeys.end());
  auto keys = std::make_shared<const SystemKeyProvider>(std::string(Constants::keyDirectory),
                                                        /*requireRootOwnedFiles=*/true,
                                                        services.fileSystem, services.keychain);
  return Environment{
      ManagedPreferences(std::string(Constants::managedPreferencesDirectory), true,
                         services.fileSystem),
      CatalogStore(std::string(Constants::catalogDirectory), trusted, services.fileSystem,
                   {.client = services.http}),
      std::string(Constants::supportDirectory),
      std::move(keys),
      PathPolicy::builtInPrefixes(),
      true,
      Discovery(services.fileSystem, services.processes),
      [programs = services.programs] { flushPreferencesCacheWithKillall(*programs); },
      services,
  };
}

}  // namespace tavra
