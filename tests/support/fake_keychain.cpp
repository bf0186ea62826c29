#include "support/fake_keychain.h"

namespace tavra::test {

namespace {

class SoftwareKey final : public keychain::PrivateKey {
 public:
  SoftwareKey(crypto::P256PrivateKey key, bool fails, std::optional<std::string> failure)
      : key_(std::move(key)), fails_(fails), failure_(std::move(failure)) {}

  std::string keyExchange(std::string_view peerX963) const override {
    std::optional<crypto::P256PublicKey> peer;
    try {
      peer = crypto::P256PublicKey::fromX963(peerX963);
    } catch (const crypto::CryptoError&) {
      throw keychain::InvalidPublicKey();
    }
    if (fails_) throw keychain::ExchangeFailed(failure_);
    return key_.sharedSecret(*peer);
  }

 private:
  crypto::P256PrivateKey key_;
  bool fails_;
  std::optional<std::string> failure_;
};

class Identity final : public keychain::Identity {
 public:
  explicit Identity(FakeIdentity fake) : fake_(std::move(fake)) {}
  std::optional<crypto::Certificate> certificate() const override { return fake_.certificate; }
  std::shared_ptr<const keychain::PrivateKey> privateKey() const override {
    if (!fake_.privateKey) return nullptr;
    return std::make_shared<SoftwareKey>(*fake_.privateKey, fake_.exchangeFails,
                                         fake_.exchangeFailure);
  }

 private:
  FakeIdentity fake_;
};

}  // namespace

FakeKeychain::FakeKeychain(std::vector<FakeIdentity> identities) {
  for (auto& identity : identities) {
    identities_.push_back(std::make_shared<Identity>(std::move(identity)));
  }
}

std::vector<std::shared_ptr<const keychain::Identity>> FakeKeychain::ecIdentities() const {
  return identities_;
}

}  // namespace tavra::test
