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
  const std::string locale = platform::timeLocaleFromEnvironment();
  Context context{
      out,
      in,
      std::string(Constants::statusFile),
      [] { return std::chrono::system_clock::now(); },
      [] { return getuid(); },
      [] { return Discovery::processTable(); },
      [](std::int32_t pid, int signal) { ::kill(pid, signal); },
      [] { return systemDiscovery(); },
      [] { return installedCatalog(); },
      [] { return runSystemPass(); },
      [locale](Date date) {
        return platform::mediumDateTime(date, locale).value_or(iso8601(date));
      },
  };
  context.settings = [] { return systemSettings(); };
  context.catalogCache = [](const std::vector<std::string>& trustedKeysBase64) {
    return systemCatalogStore(trustedKeysBase64);
  };
  context.availableKeyIDs = [] { return systemKeyProvider()->availableKeyIDs(); };
  return context;
}

TavraSettings systemSettings() {
  return ManagedPreferences(std::string(Constants::managedPreferencesDirectory), true).settings();
}

std::optional<Catalog> installedCatalog() {
  std::vector<std::string> trusted = Constants::embeddedCatalogKeys();
  const TavraSettings settings = systemSettings();
  trusted.insert(trusted.end(), settings.catalogTrustedKeys.begin(),
                 settings.catalogTrustedKeys.end());
  return systemCatalogStore(trusted).cached();
}

CatalogStore systemCatalogStore(const std::vector<std::string>& trustedKeysBase64) {
  return CatalogStore(std::string(Constants::catalogDirectory), trustedKeysBase64);
}

Catalog verifyWithBuiltInKeys(std::string_view catalogData, std::string_view signature) {
  // The store's folder is never touched by verify().
  return CatalogStore("/nonexistent", Constants::embeddedCatalogKeys())
      .verify(catalogData, signature);
}

std::shared_ptr<const SystemKeyProvider> systemKeyProvider() {
  return std::make_shared<const SystemKeyProvider>(std::string(Constants::keyDirectory),
                                                   /*requireRootOwnedFiles=*/true);
}

StatusReport runSystemPass() {
  const TavraSettings settings = systemSettings();
  return Reconciler(Environment::system(settings), settings).run(/*includeInventory=*/true);
}

Discovery systemDiscovery() {
  return Discovery();
}

CatalogStore simulationCatalogStore(const std::string& directory,
                                    const std::string& publicKeyBase64) {
  return CatalogStore(directory, {publicKeyBase64});
}

StatusReport runSimulationPass(const SimulationSetup& setup, const CatalogStore& catalogStore) {
  Environment environment{
      ManagedPreferences(setup.preferencesFolder, /*requireRootOwned=*/false),
      catalogStore,
      setup.supportFolder,
      setup.keys,
      {setup.outputPrefix},
      /*setRootOwnership=*/false,
      /*discovery=*/std::nullopt,
      /*flushPreferencesCache=*/nullptr,
  };
  return Reconciler(std::move(environment), TavraSettings{}).run(/*includeInventory=*/false);
}

}  // namespace tavra::ctl
