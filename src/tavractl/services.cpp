#include "services.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "tavra/catalog_trust.h"
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
  return Context{
      .out = out,
      .in = in,
      .services = services,
      .now = [clock = services.clock] { return clock->now(); },
      .formatDate =
          [locale](Date date) {
            return platform::mediumDateTime(date, locale).value_or(iso8601(date));
          },
      .realUserID = [] { return getuid(); },
      .processTable = [processes =
                           services.processes] { return Discovery::processTable(*processes); },
      .sendSignal = [](std::int32_t pid, int signal) { ::kill(pid, signal); },
      .makeDiscovery = [services] { return systemDiscovery(services); },
      .statusPath = std::string(Constants::statusFile),
      .settings = [services] { return systemSettings(services); },
      .installedCatalog = [services] { return installedCatalog(services); },
      .catalogCache =
          [services](const std::vector<std::string>& trustedKeysBase64) {
            return systemCatalogStore(services, trustedKeysBase64);
          },
      .availableKeyIDs = [services] { return systemKeyProvider(services)->availableKeyIDs(); },
      .localPass = [services] { return runSystemPass(services); },
  };
}

std::optional<Catalog> installedCatalog(const Services& services) {
  return systemCatalogStore(services, catalogKeysForCache(systemSettings(services))).cached();
}

Catalog verifyExplicitCatalog(const Services& services, std::string_view catalogData,
                              std::string_view signature) {
  // The store's folder is never touched by verify().
  return CatalogStore("/nonexistent", catalogKeysForExplicitFile(), services.fileSystem)
      .verify(catalogData, signature);
}

StatusReport runSystemPass(const Services& services) {
  const TavraSettings settings = systemSettings(services);
  return Reconciler(Environment::system(settings, services), settings)
      .run(/*includeInventory=*/true);
}

CatalogStore simulationCatalogStore(const Services& services, const std::string& directory,
                                    const std::string& publicKeyBase64) {
  return CatalogStore(directory, {publicKeyBase64}, services.fileSystem);
}

StatusReport runSimulationPass(const Services& services, const SimulationSetup& setup,
                               const CatalogStore& catalogStore) {
  Environment environment{
      .preferences = ManagedPreferences(setup.preferencesFolder, /*requireRootOwned=*/false,
                                        services.fileSystem),
      .catalogStore = catalogStore,
      .supportDirectory = setup.supportFolder,
      .keys = setup.keys,
      .builtInPathPrefixes = {setup.outputPrefix},
      .setRootOwnership = false,
      // The state below the folder is only as trustworthy as the folder: a release there never
      // reaches a file the allow-list refuses.
      .releaseOnlyAllowedPaths = true,
      .discovery = std::nullopt,
      .flushPreferencesCache = nullptr,
      .services = services,
  };
  return Reconciler(std::move(environment), TavraSettings{}).run(/*includeInventory=*/false);
}

}  // namespace tavra::ctl
