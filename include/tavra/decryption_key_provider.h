// Decryption key providers: where the P-256 private keys that open secret envelopes live.
//
// Envelope opening asks a DecryptionKeyProvider for one thing only: the raw ECDH shared secret
// (32 bytes, the x-coordinate) between the private key with a given key id and an envelope's
// ephemeral X9.63 public key. A provider throws when it has no key for the id or the exchange
// fails; a thrown TavraError reaches the user unchanged, any other error is reported by envelope
// opening as an authentication failure.
//
// InMemoryKeyProvider holds keys already loaded. SystemKeyProvider holds the machine's keys:
// the keychain's elliptic-curve identities first, then the PEM key files directly in its key
// directory. Both are immutable values; every operation may run on any thread, and each
// SystemKeyProvider call queries the keychain and reads the directory afresh (nothing cached).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tavra/platform/crypto.h"
#include "tavra/platform/file_system.h"
#include "tavra/platform/keychain.h"

namespace tavra {

class DecryptionKeyProvider {
 public:
  virtual ~DecryptionKeyProvider() = default;
  virtual std::string sharedSecret(const std::string& keyID,
                                   std::string_view ephemeralX963) const = 0;
};

class InMemoryKeyProvider final : public DecryptionKeyProvider {
 public:
  // Keyed by the key id of each key's public key; of two keys with the same id the first stays.
  explicit InMemoryKeyProvider(const std::vector<crypto::P256PrivateKey>& keys);

  // Throws TavraError::crypto "no private key for key id <id>" for an unknown id; an ephemeral
  // key that is not a valid point throws the crypto layer's CryptoError.
  std::string sharedSecret(const std::string& keyID, std::string_view ephemeralX963) const override;

  const std::map<std::string, crypto::P256PrivateKey>& keys() const noexcept { return keys_; }

 private:
  std::map<std::string, crypto::P256PrivateKey> keys_;
};

class SystemKeyProvider final : public DecryptionKeyProvider {
 public:
  // Key files are reached through `files`; identities come from `keychain` (none when null).
  SystemKeyProvider(std::string keyDirectory, bool requireRootOwnedFiles,
                    std::shared_ptr<const FileSystem> files,
                    std::shared_ptr<const keychain::Keychain> keychain);

  const std::string& keyDirectory() const noexcept { return keyDirectory_; }
  bool requireRootOwnedFiles() const noexcept { return requireRootOwnedFiles_; }

  // A keychain identity with the key id first (its exchange errors are thrown: "invalid
  // ephemeral key", "keychain key exchange failed: <description>"; no fall-back to files once an
  // identity matched), else the key files ("no private key for key id <id>" when none has it).
  std::string sharedSecret(const std::string& keyID, std::string_view ephemeralX963) const override;

  // Key ids of the keychain identities in query order, then of the key files in listing order;
  // neither sorted nor de-duplicated. Never throws.
  std::vector<std::string> availableKeyIDs() const;

 private:
  std::vector<std::pair<std::string, std::shared_ptr<const keychain::Identity>>>
  keychainIdentities() const;
  std::shared_ptr<const keychain::PrivateKey> keychainPrivateKey(const std::string& keyID) const;
  std::vector<crypto::P256PrivateKey> fileKeys() const;
  static std::string sharedSecret(const keychain::PrivateKey& privateKey,
                                  std::string_view ephemeralX963);

  std::string keyDirectory_;
  bool requireRootOwnedFiles_;
  std::shared_ptr<const FileSystem> files_;
  std::shared_ptr<const keychain::Keychain> keychain_;
};

}  // namespace tavra
