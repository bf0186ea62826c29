#include "tavra/environment.h"

#include <stdexcept>

#include "tavra/catalog_trust.h"
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
  return Environment{
      .preferences = systemPreferences(services),
      .catalogStore = systemCatalogStore(services, catalogKeysForCache(settings)),
      .supportDirectory = std::string(Constants::supportDirectory),
      .keys = systemKeyProvider(services),
      .builtInPathPrefixes = PathPolicy::builtInPrefixes(),
      .setRootOwnership = true,
      .discovery = systemDiscovery(services),
      .flushPreferencesCache =
          [programs = services.programs] { flushPreferencesCacheWithKillall(*programs); },
      .services = services,
  };
}

ManagedPreferences systemPreferences(const Services& services) {
  return ManagedPreferences(std::string(Constants::managedPreferencesDirectory),
                            /*requireRootOwned=*/true, services.fileSystem);
}

TavraSettings systemSettings(const Services& services) {
  return systemPreferences(services).settings();
}

CatalogStore systemCatalogStore(const Services& services,
                                const std::vector<std::string>& trustedKeysBase64) {
  return CatalogStore(std::string(Constants::catalogDirectory), trustedKeysBase64,
                      services.fileSystem, {.client = services.http});
}

std::shared_ptr<const SystemKeyProvider> systemKeyProvider(const Services& services) {
  return std::make_shared<const SystemKeyProvider>(std::string(Constants::keyDirectory),
                                                   /*requireRootOwnedFiles=*/true,
                                                   services.fileSystem, services.keychain);
}

Discovery systemDiscovery(const Services& services) {
  return Discovery(services.fileSystem, services.processes);
}

}  // namespace tavra
