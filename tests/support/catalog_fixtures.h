// Catalogs for tests: outputs and harnesses made in code, small catalog texts, and a throw-away
// Ed25519 key made at test time that signs them (a store trusts it through its own key list).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavra/catalog.h"
#include "tavra/platform/crypto.h"

namespace tavra::test {

// An output `id` at `path` (spelled as given) in `format`; the optional members are absent.
Output output(std::string id, std::string path = "/etc/x.json",
              Output::Format format = Output::Format::json);

// A harness `id` of `status` with `outputs`, shown as "The <id>" by "Example"; no detection.
Harness harness(std::string id, std::vector<Output> outputs = {},
                Harness::Status status = Harness::Status::supported);

// The smallest catalog that decodes, with the given catalogVersion.
std::string catalogJSON(std::string_view version);

// A catalog of one harness, "alpha", with one JSON output, "settings", at `path` (spelled as
// given) and with `mode` when one is given.
std::string alphaCatalogJSON(const std::string& path,
                             const std::optional<std::string>& mode = std::nullopt);

struct CatalogSigningKey {
  crypto::Ed25519PrivateKey key = crypto::Ed25519PrivateKey::generate();
  // The base64 of the raw public key, as a store's trusted key list holds it.
  std::string publicBase64() const;
  std::string privateBase64() const;
  // The base64 signature text of `catalog`, followed by a line feed as the signing tool writes it.
  std::string signatureFile(std::string_view catalog) const;
};

}  // namespace tavra::test
