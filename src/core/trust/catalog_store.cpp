#include "tavra/catalog_store.h"

#include <stdexcept>

#include "tavra/base64.h"
#include "tavra/constants.h"
#include "tavra/error.h"
#include "tavra/whitespace.h"

namespace tavra {

static_assert(CatalogStore::userAgent.substr(6) == Constants::version);

namespace {

constexpr std::string_view catalogName = "catalog.json";
constexpr std::string_view signatureName = "catalog.json.sig";

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
  const fs::ReadOptions options{.maxBytes = maxFileBytes};
  const fs::ReadResult catalog = files_->readFile(fs::joinPath(directory_, catalogName), options);
  if (!catalog) return std::nullopt;
  const fs::ReadResult signature =
      files_->readFile(fs::joinPath(directory_, signatureName), options);
  if (!signature) return std::nullopt;
  return verify(catalog.bytes, signature.bytes);
}

void CatalogStore::install(std::string_view catalogData, std::string_view signature) const {
  verify(catalogData, signature);
  const fs::Walk directory = files_->makeDirectories(directory_, {.mode = 0755});
  if (!directory) throw fs::systemError(directory.error, "cannot create directory " + directory.at);
  // The files keep the process's default creation permissions. The directory is synced after
  // each rename, so an installed catalog stays installed across a power loss.
  const fs::WriteOptions options{.syncDirectory = true};
  files_->writeAtomicallyAt(directory.directory, fs::joinPath(directory_, catalogName), catalogData,
                            options);
  files_->writeAtomicallyAt(directory.directory, fs::joinPath(directory_, signatureName), signature,
                            options);
}

}  // namespace tavra
