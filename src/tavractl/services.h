// The tool's composition root: the one place where production core objects are built (the
// system environment, managed preferences and the catalog store on the system folders, the
// reconciler, discovery, key providers) and where the Context of a real invocation is filled.
// Commands never build these themselves, so a change in how the core is assembled touches only
// this file.
#pragma once

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "context.h"
#include "tavra/catalog_store.h"
#include "tavra/decryption_key_provider.h"
#include "tavra/services.h"
#include "tavra/settings.h"
#include "tavra/status_report.h"

namespace tavra::ctl {

// A Context over this machine: the library's system services (built once, here), the real
// clock, user id, process table, signals, discovery, installed catalog, system pass, the
// locale's date format, and the daemon's settings, catalog cache and decryption keys.
Context systemContext(std::ostream& out, std::istream& in);

// The daemon's settings from the managed-preferences folder (root-owned files only).
TavraSettings systemSettings(const Services& services);

// The verified installed catalog, trusting the built-in keys followed by the settings'
// CatalogTrustedKeys; no value when none is installed. The store's errors are thrown.
std::optional<Catalog> installedCatalog(const Services& services);

// A catalog store on the system catalog folder trusting exactly `trustedKeysBase64`.
CatalogStore systemCatalogStore(const Services& services,
                                const std::vector<std::string>& trustedKeysBase64);

// Verifies `catalogData` against `signature` with the built-in catalog keys only. Nothing on
// disk is touched. Throws as CatalogStore::verify does.
Catalog verifyWithBuiltInKeys(const Services& services, std::string_view catalogData,
                              std::string_view signature);

// The machine's decryption keys, as the daemon sees them (root-owned key files only).
std::shared_ptr<const SystemKeyProvider> systemKeyProvider(const Services& services);

// One whole pass with the system environment and settings, inventory included.
StatusReport runSystemPass(const Services& services);

// A discovery of this computer (its own users, application folders and process table).
Discovery systemDiscovery(const Services& services);

// An offline pass rooted in a folder of its own (simulate): managed preferences in
// `preferencesFolder` (any owner), the catalog store `catalogStore`, the support folder, the one
// allowed output prefix, the given keys, no root ownership, no discovery, no cache flush, releases
// only where the allow-list admits them, the default settings, no inventory.
struct SimulationSetup {
  std::string preferencesFolder;
  std::string supportFolder;
  std::string outputPrefix;
  std::shared_ptr<const DecryptionKeyProvider> keys;
};
CatalogStore simulationCatalogStore(const Services& services, const std::string& directory,
                                    const std::string& publicKeyBase64);
StatusReport runSimulationPass(const Services& services, const SimulationSetup& setup,
                               const CatalogStore& catalogStore);

}  // namespace tavra::ctl
