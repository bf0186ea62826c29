#include "support/catalog_fixtures.h"

#include "tavra/base64.h"
#include "tavra/catalog.h"

namespace tavra::test {

std::string catalogJSON(std::string_view version) {
  return R"({"schemaVersion":2,"catalogVersion":")" + std::string(version) + R"(","harnesses":[]})";
}

std::string alphaCatalogJSON(const std::string& path, const std::optional<std::string>& mode) {
  Output settings;
  settings.id = "settings";
  settings.path = path;
  settings.format = Output::Format::json;
  settings.mode = mode;
  Harness alpha;
  alpha.id = "alpha";
  alpha.displayName = "Alpha";
  alpha.vendor = "Example";
  alpha.outputs = {settings};
  return Catalog{2, "1.0", {alpha}}.encode();
}

std::string CatalogSigningKey::publicBase64() const {
  return base64::encode(key.publicKey().raw());
}

std::string CatalogSigningKey::privateBase64() const {
  return base64::encode(key.raw());
}

std::string CatalogSigningKey::signatureFile(std::string_view catalog) const {
  return base64::encode(key.sign(catalog)) + "\n";
}

}  // namespace tavra::test
