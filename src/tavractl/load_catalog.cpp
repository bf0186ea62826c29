#include "load_catalog.h"

#include "errors.h"
#include "input_file.h"
#include "services.h"
#include "tavra/catalog_store.h"

namespace tavra::ctl {
Catalog loadCatalog(const std::optional<std::string>& path, bool verify, const Context& context) {
  if (path) {
    const std::string bytes =
        readInputFileOrRefuse(*context.services.fileSystem, *path, "cannot read " + *path);
    if (!verify) return Catalog::decode(bytes);
    const std::string signaturePath = CatalogStore::signaturePath(*path);
    const std::string signature =
        readInputFileOrRefuse(*context.services.fileSystem, signaturePath,
                              "missing " + signaturePath, InputSource::found);
    return verifyExplicitCatalog(context.services, bytes, signature);
  }
  std::optional<Catalog> installed = context.installedCatalog();
  if (!installed) {
    throw ValidationError("no verified catalog installed; pass --catalog <catalog.json>");
  }
  return std::move(*installed);
}

}  // namespace tavra::ctl
