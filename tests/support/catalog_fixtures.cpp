#include "support/catalog_fixtures.h"

#include "tavra/base64.h"

namespace tavra::test {

std::string catalogJSON(std::string_view version) {
  return R"({"schemaVersion":2,"catalogVersion":")" + std::string(version) + R"(","harnesses":[]})";
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
