#include "tavra/catalog_store.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include "tavra/base64.h"
#include "tavra/constants.h"
#include "tavra/error.h"
#include "tavra/platform/digest.h"
#include "tavra/whitespace.h"

namespace tavra {

static_assert(CatalogStore::userAgent.substr(6) == Constants::version);

namespace {

constexpr std::string_view catalogName = "catalog.json";

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

CatalogStore::CatalogStore(std::string directory, const std::vector<std::string>& trustedKeysBase64,
                           std::shared_ptr<const FileSystem> files)
    : CatalogStore(std::move(directory), trustedKeysBase64, std::move(files), Transport{}) {}

CatalogStore::CatalogStore(std::string directory, const std::vector<std::string>& trustedKeysBase64,
                           std::shared_ptr<const FileSystem> files, Transport transport)
    : directory_(std::move(directory)), files_(std::move(files)), transport_(std::move(transport)) {
  if (!files_) throw std::invalid_argument("CatalogStore needs a FileSystem");
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
  const fs::ReadOptions options{.maxBytes = Constants::maxInputFileBytes};
  const std::string catalogPath = fs::joinPath(directory_, catalogName);
  const fs::ReadResult catalog = files_->readFile(catalogPath, options);
  if (!catalog) return std::nullopt;
  const fs::ReadResult signature = files_->readFile(signaturePath(catalogPath), options);
  if (!signature) return std::nullopt;
  return verify(catalog.bytes, signature.bytes);
}

void CatalogStore::install(std::string_view catalogData, std::string_view signature) const {
  verify(catalogData, signature);
  const fs::Walk directory = files_->makeDirectories(directory_, {.mode = 0755});
  if (!directory) throw fs::systemError(directory.error, "cannot create directory " + directory.at);
  // The files get 0644 whatever the process's file-creation mask: a cache others could write
  // would let any user put back an older catalog that still verifies. The directory is synced
  // after each rename, so an installed catalog stays installed across a power loss.
  const fs::WriteOptions options{.mode = 0644, .syncDirectory = true};
  const std::string catalogPath = fs::joinPath(directory_, catalogName);
  files_->writeAtomicallyAt(directory.directory, catalogPath, catalogData, options);
  files_->writeAtomicallyAt(directory.directory, signaturePath(catalogPath), signature, options);
}

}  // namespace tavra
