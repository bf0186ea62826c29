// The platform keychain as the decryption-key provider sees it: elliptic-curve identities, each
// a certificate with a private key that can perform an ECDH exchange without being exported.
//
// Keychain is the interface; NoKeychain is this machine's implementation, which has no
// keychain and so no identities. Tests supply their own. Implementations are immutable and may be
// used from several threads at once.
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tavra/platform/crypto.h"

namespace tavra::keychain {

// The ephemeral bytes were not a usable public key.
class InvalidPublicKey : public std::runtime_error {
 public:
  InvalidPublicKey() : std::runtime_error("invalid public key") {}
};

// The exchange itself failed; the platform's description when it gave one.
class ExchangeFailed : public std::runtime_error {
 public:
  explicit ExchangeFailed(std::optional<std::string> description)
      : std::runtime_error(description.value_or("unknown")), description_(std::move(description)) {}
  const std::optional<std::string>& description() const noexcept { return description_; }

 private:
  std::optional<std::string> description_;
};

// A private key held by the keychain.
class PrivateKey {
 public:
  virtual ~PrivateKey() = default;
  // The raw ECDH shared secret with the X9.63 public key `peerX963`. Throws InvalidPublicKey
  // or ExchangeFailed.
  virtual std::string keyExchange(std::string_view peerX963) const = 0;
};

class Identity {
 public:
  virtual ~Identity() = default;
  // No value when the certificate cannot be copied.
  virtual std::optional<crypto::Certificate> certificate() const = 0;
  // Null when the private key cannot be copied.
  virtual std::shared_ptr<const PrivateKey> privateKey() const = 0;
};

class Keychain {
 public:
  virtual ~Keychain() = default;
  // Every elliptic-curve identity of the default search list, in the keychain's order; empty
  // when the query fails or finds none.
  virtual std::vector<std::shared_ptr<const Identity>> ecIdentities() const = 0;
};

class NoKeychain final : public Keychain {
 public:
  std::vector<std::shared_ptr<const Identity>> ecIdentities() const override;
};

}  // namespace tavra::keychain
