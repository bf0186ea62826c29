#include "support/catalog_fixtures.h"

#include <utility>

#include "tavra/base64.h"

namespace tavra::test {

Output output(std::string id, std::string path, Output::Format format) {
  return Output{.id = std::move(id), .path = std::move(path), .format = format};
}

Harness harness(std::string id, std::vector<Output> outputs, Harness::Status status) {
  std::string displayName = "The " + id;
  return Harness{.id = std::move(id),
                 .displayName = std::move(displayName),
                 .vendor = "Example",
                 .status = status,
                 .outputs = std::move(outputs)};
}

std::string catalogJSON(std::string_view version) {
  return R"({"schemaVersion":2,"catalogVersion":")" + std::string(version) + R"(","harnesses":[]})";
}

std::string alphaCatalogJSON(const std::string& path, const std::optional<std::string>& mode) {
  Output settings = output("settings", path);
  settings.mode = mode;
  Harness alpha = harness("alpha", {settings});
  alpha.displayName = "Alpha";
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
