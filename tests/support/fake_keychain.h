// A keychain for tests: identities made of a certificate and a software P-256 key, each of which
// can be told to fail the way a platform keychain can.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tavra/platform/crypto.h"
#include "tavra/platform/keychain.h"

namespace tavra::test {

struct FakeIdentity {
  std::optional<crypto::Certificate> certificate;    // none: copying it fails
  std::optional<crypto::P256PrivateKey> privateKey;  // none: copying it fails
  bool exchangeFails = false;                        // the exchange itself fails...
  std::optional<std::string> exchangeFailure;        // ...with this description, if any
};

class FakeKeychain final : public keychain::Keychain {
 public:
  explicit FakeKeychain(std::vector<FakeIdentity> identities);
  std::vector<std::shared_ptr<const keychain::Identity>> ecIdentities() const override;

 private:
  std::vector<std::shared_ptr<const keychain::Identity>> identities_;
};

}  // namespace tavra::test
