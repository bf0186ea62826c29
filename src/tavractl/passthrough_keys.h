// PassthroughKeys: the key provider of commands that were given no private key. It has no keys,
// so every envelope stays closed with "crypto: no decryption key for key id <id>".
#pragma once

#include "tavra/decryption_key_provider.h"

namespace tavra::ctl {

class PassthroughKeys final : public DecryptionKeyProvider {
 public:
  // Always throws TavraError::crypto("no decryption key for key id " + keyID).
  std::string sharedSecret(const std::string& keyID, std::string_view ephemeralX963) const override;
};

}  // namespace tavra::ctl
