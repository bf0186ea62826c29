#include "tavra/catalog_store.h"

#include "trust/catalog_files.h"

#include "tavra/base64.h"
#include "tavra/constants.h"
#include "tavra/error.h"
#include "tavra/whitespace.h"

namespace tavra {

static_assert(CatalogStore::userAgent.substr(6) == Constants::version);

namespace {

constexpr std::string_view catalogName = "catalog.json";
constexpr std::string_view signatureName = "catalog.json.sig";
std::shared_ptr<const http::Client> defaultClient() {
  return std::make_shared<http::CurlClient>();
}

}  // namespace

CatalogStore::CatalogStore(std::string directory, const std::vector<std::string>& trustedKeysBase64)
    : CatalogStore(std::move(directory), trustedKeysBase64, Transport{}) {}

CatalogStore::CatalogStore(std::string directory, const std::vector<std::string>& trustedKeysBase64,
                           Transport transport)
    : directory_(std::move(directory)), transport_(std::move(transport)) {
  if (!transport_.client) transport_.client = defaultClient();
  for (const auto& text : trustedKeysBase64) {
    const auto raw = base64::decode(text);
    if (!raw) continue;
    try {
      trustedKeys_.push_back(crypto::Ed25519PublicKey::fromRaw(*raw));
    } catch (const crypto::CryptoError&) {
      // Unusable keys are skipped silently.
    }
  }
}

Catalog CatalogStore::verify(std::string_view catalogData, std::string_view signature) const {
  const auto decoded = base64::decode(trimmingWhitespaceAndNewlines(signature));
  if (!decoded) throw TavraError::signature("signature is not base64");
  for (const auto& key : trustedKeys_) {
    if (key.isValidSignature(*decoded, catalogData)) return Catalog::decode(catalogData);
  }
  throw TavraError::signature("catalog signature does not match any trusted key");
}

std::optional<Catalog> CatalogStore::cached() const {
  const auto catalog = catalog_files::readIfPossible(directory_ + "/" + std::string(catalogName));
  if (!catalog) return std::nullopt;
  const auto signature =
      catalog_files::readIfPossible(directory_ + "/" + std::string(signatureName));
  if (!signature) return std::nullopt;
  return verify(*catalog, *signature);
}

void CatalogStore::install(std::string_view catalogData, std::string_view signature) const {
  verify(catalogData, signature);
  catalog_files::makeDirectories(directory_);
  catalog_files::writeAtomically(directory_, catalogName, catalogData);
  catalog_files::writeAtomically(directory_, signatureName, signature);
}

}  // namespace tavra
