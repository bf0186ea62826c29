#include "tavra/constants.h"

namespace tavra::Constants {

const std::string& defaultCatalogURL() {
  static const std::string url = TAVRA_DEFAULT_CATALOG_URL;
  return url;
}

const std::vector<std::string>& embeddedCatalogKeys() {
  static const std::vector<std::string> keys = {TAVRA_EMBEDDED_CATALOG_KEY};
  return keys;
}

}  // namespace tavra::Constants
