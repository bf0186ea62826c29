#include "tavra/decryption_key_provider.h"

#include "tavra/error.h"
#include "tavra/secret_envelope.h"

namespace tavra {

InMemoryKeyProvider::InMemoryKeyProvider(const std::vector<crypto::P256PrivateKey>& keys) {
  for (const auto& key : keys) {
    keys_.emplace(SecretEnvelope::keyID(key.publicKey().x963()), key);  // the first one stays
  }
}

std::string InMemoryKeyProvider::sharedSecret(const std::string& keyID,
                                              std::string_view ephemeralX963) const {
  const auto found = keys_.find(keyID);
  if (found == keys_.end()) throw TavraError::crypto("no private key for key id " + keyID);
  return found->second.sharedSecret(crypto::P256PublicKey::fromX963(ephemeralX963));
}

}  // namespace tavra
