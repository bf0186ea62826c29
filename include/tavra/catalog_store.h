// CatalogStore: the trust rule for the vendor catalog and the on-disk cache of the one installed
// catalog.
//
// A catalog is trusted only with a valid Ed25519 signature by one of the store's trusted keys.
// The cache is `directory`/catalog.json (the catalog exactly as signed) beside
// `directory`/catalog.json.sig (the base64 signature text). Every read verifies again; nothing is
// held in memory between calls. Files are replaced atomically (temporary file in the same
// directory, synced, renamed, then the directory synced), the catalog first, then the signature.
//
// Failures throw: TavraError::signature for signature texts, TavraError::catalog for download,
// pin and rollback refusals, Catalog::decode's errors unchanged; file-system errors are
// std::system_error, transport errors http::TransportError.
//
// The store is an immutable value; two stores on one directory are not coordinated. Every
// operation may be called from any thread. update() blocks its caller while the catalog and its
// signature download concurrently on two threads of its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavra/catalog.h"
#include "tavra/platform/crypto.h"
#include "tavra/platform/file_system.h"
#include "tavra/platform/http.h"
#include "tavra/url.h"

namespace tavra {

class CatalogStore {
 public:
  struct UpdateResult {
    enum class Kind { updated, unchanged };
    Kind kind;
    std::string version;  // the catalog version installed now, or the one that stays

    static UpdateResult updated(std::string version) { return {Kind::updated, std::move(version)}; }
    static UpdateResult unchanged(std::string version) {
      return {Kind::unchanged, std::move(version)};
    }
    friend bool operator==(const UpdateResult&, const UpdateResult&) = default;
  };

  // How downloads are made: the HTTP client (needed for https URLs; without one an https
  // download fails with http::TransportError) and the timeout of each request.
  struct Transport {
    std::shared_ptr<const http::Client> client;
    std::chrono::milliseconds timeout{30'000};
  };

  // A catalog's signature sits beside it, under the catalog's name with ".sig" appended: in the
  // cache, at the download address and beside a catalog file named to the tool.
  static constexpr std::string_view signatureSuffix = ".sig";
  static std::string signaturePath(std::string_view catalogPath) {
    return std::string(catalogPath) + std::string(signatureSuffix);
  }

  // Bodies of this many bytes or more are refused ("catalog too large").
  static constexpr std::size_t maxDownloadBytes = 5'000'000;
  static constexpr std::string_view userAgent = "Tavra/0.2.1";

  // Each text is decoded as strict standard base64 exactly as given; texts that do not decode to
  // a valid raw 32-byte Ed25519 public key, or that encode a point of small order (which would
  // accept forged signatures), are skipped silently. The rest keep their order. The cache and
  // file URLs are reached through `files`.
  CatalogStore(std::string directory, const std::vector<std::string>& trustedKeysBase64,
               std::shared_ptr<const FileSystem> files);
  CatalogStore(std::string directory, const std::vector<std::string>& trustedKeysBase64,
               std::shared_ptr<const FileSystem> files, Transport transport);

  const std::string& directory() const noexcept { return directory_; }
  const std::vector<crypto::Ed25519PublicKey>& trustedKeys() const noexcept { return trustedKeys_; }

  // The verified, decoded catalog. `signature` is base64 text, whitespace around it allowed.
  Catalog verify(std::string_view catalogData, std::string_view signature) const;

  // The cached catalog, verified again; no value when either file cannot be read.
  std::optional<Catalog> cached() const;

  // Verifies, then replaces both files, mode 0644 whatever the file-creation mask (the directory
  // is created with mode 0755 when missing). No version comparison.
  void install(std::string_view catalogData, std::string_view signature) const;

  // Downloads `from` (https, or a file URL) and `from` + ".sig", then installs under the pinning
  // and anti-rollback rules.
  UpdateResult update(const URL& from, const std::optional<std::string>& pinnedVersion) const;

 private:
  std::string directory_;
  std::vector<crypto::Ed25519PublicKey> trustedKeys_;
  std::shared_ptr<const FileSystem> files_;
  Transport transport_;
};

}  // namespace tavra
