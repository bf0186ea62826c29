// The tool's composition root: the one place where the tool takes up the core's production
// objects (the system environment and the machine's parts of environment.h, the reconciler)
// and fills the Context of a real invocation. Commands never build these themselves, so a change
// in how the core is assembled touches only this file.
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
#include "tavra/status_report.h"

namespace tavra::ctl {

// A Context over this machine: the library's system services (built once, here), the real
// clock, user id, process table, signals, discovery, installed catalog, system pass, the
// locale's date format, and the daemon's settings, catalog cache and decryption keys.
Context systemContext(std::ostream& out, std::istream& in);

// The verified installed catalog, trusting the keys of the daemon's cache under its settings; no
// value when none is installed. The store's errors are thrown.
std::optional<Catalog> installedCatalog(const Services& services);

// Verifies `catalogData` against `signature` with the keys of a catalog file named to the tool.
// Nothing on disk is touched. Throws as CatalogStore::verify does.
Catalog verifyExplicitCatalog(const Services& services, std::string_view catalogData,
                              std::string_view signature);

// One whole pass with the system environment and settings, inventory included.
StatusReport runSystemPass(const Services& services);

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
