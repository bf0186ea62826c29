#include "tavra/catalog_trust.h"

#include "tavra/constants.h"

namespace tavra {

std::vector<std::string> catalogKeysForCache(const TavraSettings& settings) {
  std::vector<std::string> keys = Constants::embeddedCatalogKeys();
  keys.insert(keys.end(), settings.catalogTrustedKeys.begin(), settings.catalogTrustedKeys.end());
  return keys;
}

const std::vector<std::string>& catalogKeysForExplicitFile() {
  return Constants::embeddedCatalogKeys();
}

}  // namespace tavra
