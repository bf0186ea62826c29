#include "tavra/catalog_store.h"

#include <algorithm>
#include <iterator>

#include "trust/catalog_files.h"

#include "tavra/base64.h"
#include "tavra/constants.h"
#include "tavra/error.h"
#include "tavra/platform/digest.h"
#include "tavra/whitespace.h"

namespace tavra {

static_assert(CatalogStore::userAgent.substr(6) == Constants::version);

namespace {

constexpr std::string_view catalogName = "catalog.json";
constexpr std::string_view signatureName = "catalog.json.sig";
std::shared_ptr<const http::Client> defaultClient() {
  return std::make_shared<http::CurlClient>();
}

// The points of small order (order 1, 2, 4 or 8) as lowercase hex of their encoding with the
// sign bit (the top bit of the last byte) cleared; the points with y = 0 and y = 1 have the
// non-canonical encodings y = p and y = p + 1 as well. Such a key accepts forged signatures
// (for the neutral point, one fixed signature fits every catalog), so it is never trusted.
constexpr std::string_view smallOrderPoints[] = {
    "0000000000000000000000000000000000000000000000000000000000000000",  // y = 0, order 4
    "0100000000000000000000000000000000000000000000000000000000000000",  // y = 1, neutral
    "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",  // order 8
    "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",  // order 8
    "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // y = p - 1, order 2
    "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // y = p, as y = 0
    "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // y = p + 1, as y = 1
};

bool hasSmallOrder(std::string raw) {
  if (raw.empty()) return false;
  raw.back() = static_cast<char>(raw.back() & 0x7f);
  const std::string text = digest::hex(raw);
  return std::find(std::begin(smallOrderPoints), std::end(smallOrderPoints), text) !=
         std::end(smallOrderPoints);
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
    if (!raw || hasSmallOrder(*raw)) continue;
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
