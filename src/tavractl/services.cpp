#include "services.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "tavra/constants.h"
#include "tavra/environment.h"
#include "tavra/iso8601.h"
#include "tavra/managed_preferences.h"
#include "tavra/platform/date_format.h"
#include "tavra/reconciler.h"

namespace tavra::ctl {

Context systemContext(std::ostream& out, std::istream& in) {
  const Services services = systemServices();
  const std::string locale = platform::timeLocaleFromEnvironment();
  Context context{
      out,
      in,
      std::string(Constants::statusFile),
      [clock = services.clock] { return clock->now(); },
      [] { return getuid(); },
      [processes = services.processes] { return Discovery::processTable(*processes); },
      [](std::int32_t pid, int signal) { ::kill(pid, signal); },
      [services] { return systemDiscovery(services); },
      [services] { return installedCatalog(services); },
      [services] { return runSystemPass(services); },
      [locale](Date date) {
        return platform::mediumDateTime(date, locale).value_or(iso8601(date));
      },
  };
  context.settings = [services] { return systemSettings(services); };
  context.catalogCache = [services](const std::vector<std::string>& trustedKeysBase64) {
    return systemCatalogStore(services, trustedKeysBase64);
  };
  context.availableKeyIDs = [services] { return systemKeyProvider(services)->availableKeyIDs(); };
  context.services = services;
  return context;
}

TavraSettings systemSettings(const Services& services) {
  return ManagedPreferences(std::string(Constants::managedPreferencesDirectory), true,
                            services.fileSystem)
      .settings();
}

std::optional<Catalog> installedCatalog(const Services& services) {
  std::vector<std::string> trusted = Constants::embeddedCatalogKeys();
  const TavraSettings settings = systemSettings(services);
  trusted.insert(trusted.end(), settings.catalogTrustedKeys.begin(),
                 settings.catalogTrustedKeys.end());
  return systemCatalogStore(services, trusted).cached();
}

CatalogStore systemCatalogStore(const Services& services,
                                const std::vector<std::string>& trustedKeysBase64) {
  return CatalogStore(std::string(Constants::catalogDirectory), trustedKeysBase64,
                      services.fileSystem, CatalogStore::Transport{services.http});
}

Catalog verifyWithBuiltInKeys(const Services& services, std::string_view catalogData,
                              std::string_view signature) {
  // The store's folder is never touched by verify().
  return CatalogStore("/nonexistent", Constants::embeddedCatalogKeys(), services.fileSystem)
      .verify(catalogData, signature);
}

std::shared_ptr<const SystemKeyProvider> systemKeyProvider(const Services& services) {
  return std::make_shared<const SystemKeyProvider>(std::string(Constants::keyDirectory),
                                                   /*requireRootOwnedFiles=*/true,
                                                   services.fileSystem, services.keychain);
}

StatusReport runSystemPass(const Services& services) {
  const TavraSettings settings = systemSettings(services);
  return Reconciler(Environment::system(settings, services), settings)
      .run(/*includeInventory=*/true);
}

Discovery systemDiscovery(const Services& services) {
  return Discovery(services.fileSystem, services.processes);
}

CatalogStore simulationCatalogStore(const Services& services, const std::string& directory,
                                    const std::string& publicKeyBase64) {
  return CatalogStore(directory, {publicKeyBase64}, services.fileSystem);
}

StatusReport runSimulationPass(const Services& services, const SimulationSetup& setup,
                               const CatalogStore& catalogStore) {
  Environment environment{
      ManagedPreferences(setup.preferencesFolder, /*requireRootOwned=*/false, services.fileSystem),
      catalogStore,
      setup.supportFolder,
      setup.keys,
      {setup.outputPrefix},
      /*setRootOwnership=*/false,
      /*discovery=*/std::nullopt,
      /*flushPreferencesCache=*/nullptr,
      services,
      // The state below the folder is only as trustworthy as the folder: a release there never
      // reaches a file the allow-list refuses.
      /*releaseOnlyAllowedPaths=*/true,
  };
  return Reconciler(std::move(environment), TavraSettings{}).run(/*includeInventory=*/false);
}

}  // namespace tavra::ctl
