#include "tavra/catalog_signer.h"

#include "tavra/base64.h"
#include "tavra/error.h"
#include "tavra/platform/crypto.h"
#include "tavra/whitespace.h"

namespace tavra {

std::string CatalogSigner::sign(std::string_view catalogData, std::string_view privateKeyBase64) {
  const auto raw = base64::decode(trimmingWhitespaceAndNewlines(privateKeyBase64));
  if (!raw) throw TavraError::signature("private key is not base64");
  const auto key = crypto::Ed25519PrivateKey::fromRaw(*raw);
  return base64::encode(key.sign(catalogData));
}

}  // namespace tavra
