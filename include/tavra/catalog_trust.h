// Catalog trust: which catalog-signing keys vouch for a catalog, by where the catalog comes from.
// The two rules are written here and nowhere else:
// - the daemon's catalog cache, as the daemon downloads and reads it (and as the tool reads it,
//   or updates it at once with `catalog update`), is vouched for by the built-in keys followed by
//   the settings' CatalogTrustedKeys, so that an organisation can sign catalogs of its own;
// - a catalog file an administrator names to the tool (`catalog verify`, `catalog install`) is
//   vouched for by the built-in keys only: a key in the settings never vouches for a file brought
//   by hand, even one installed into the daemon's cache.
// The keys are base64 texts as CatalogStore takes them, in the order given; the store drops the
// texts that are no usable key. Nothing here fails.
#pragma once

#include <string>
#include <vector>

#include "tavra/settings.h"

namespace tavra {

// The keys the daemon's catalog cache trusts under `settings`.
std::vector<std::string> catalogKeysForCache(const TavraSettings& settings);

// The keys a catalog file named to the tool is checked against.
const std::vector<std::string>& catalogKeysForExplicitFile();

}  // namespace tavra
