#include "tavra/decryption_key_provider.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "support/crypto_fixtures.h"
#include "support/fake_keychain.h"
#include "support/services.h"
#include "support/tavra_error.h"
#include "support/temp_tree.h"
#include "tavra/error.h"
#include "tavra/secret_envelope.h"

namespace tavra {
namespace {

std::string idOf(const crypto::P256PrivateKey& key) {
  return SecretEnvelope::keyID(key.publicKey().x963());
}

std::string cryptoMessage(const std::function<void()>& call) {
  return test::tavraErrorMessage(TavraError::Case::crypto, call);
}

TEST(InMemoryKeyProviderTest, KeysByIDFirstKeptAndUnknownIDsRefused) {
  const auto a = crypto::P256PrivateKey::generate();
  const auto b = crypto::P256PrivateKey::generate();
  const InMemoryKeyProvider provider({a, b, crypto::P256PrivateKey::fromPEM(a.pem())});
  EXPECT_EQ(provider.keys().size(), 2u);
  ASSERT_TRUE(provider.keys().contains(idOf(a)));
  const auto ephemeral = crypto::P256PrivateKey::generate();
  EXPECT_EQ(provider.sharedSecret(idOf(b), ephemeral.publicKey().x963()),
            ephemeral.sharedSecret(b.publicKey()));
  EXPECT_EQ(cryptoMessage([&] { provider.sharedSecret("0000000000000000", ""); }),
            "no private key for key id 0000000000000000");
  EXPECT_THROW(provider.sharedSecret(idOf(a), "not a point"), crypto::CryptoError);
}

class SystemKeyProviderTest : public ::testing::Test {
 protected:
  test::TempTree tree;
  std::string directory = tree.mkdir("keys");
  crypto::P256PrivateKey key = crypto::P256PrivateKey::generate();

  std::string writeKey(const std::string& name, const crypto::P256PrivateKey& k,
                       mode_t mode = 0600) {
    return tree.write("keys/" + name, k.pem(), mode);
  }
  crypto::Certificate certificateFor(const crypto::P256PrivateKey& k) {
    const std::string keyPath = tree.write("cert-" + idOf(k) + ".key", k.pem());
    const std::string cert = test::makeCertificate(tree, "cert-" + idOf(k) + ".pem", keyPath);
    return *crypto::Certificate::fromPEM(test::readFile(cert));
  }
  std::string secretWith(const SystemKeyProvider& provider, const crypto::P256PrivateKey& k,
                         const crypto::P256PrivateKey& ephemeral) {
    return provider.sharedSecret(idOf(k), ephemeral.publicKey().x963());
  }
};

TEST_F(SystemKeyProviderTest, KeyFilesAreReadByTheirSuffixOnly) {
  const auto other = crypto::P256PrivateKey::generate();
  writeKey("a.pem", key);
  writeKey("copy.pem", key);
  writeKey("KEY.PEM", other);
  writeKey("b.pem.bak", other);
  tree.mkdir("keys/sub.pem");
  tree.write("keys/sub/inner.pem", other.pem(), 0600);
  const std::string certKey =
      test::makeKey(tree, "ck.pem", {"-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"});
  tree.write("keys/cert.pem", test::readFile(test::makeCertificate(tree, "c.pem", certKey)), 0600);
  tree.write("keys/garbage.pem", "\xff\xfe not text", 0600);
  const SystemKeyProvider provider(directory, false, test::files(), nullptr);
  EXPECT_EQ(provider.availableKeyIDs(), (std::vector<std::string>{idOf(key), idOf(key)}));
  const auto ephemeral = crypto::P256PrivateKey::generate();
  EXPECT_EQ(secretWith(provider, key, ephemeral), ephemeral.sharedSecret(key.publicKey()));
  EXPECT_EQ(cryptoMessage([&] { secretWith(provider, other, ephemeral); }),
            "no private key for key id " + idOf(other));
}

TEST_F(SystemKeyProviderTest, AKeyFileWhosePublicPointIsNotItsOwnIsSkipped) {
  writeKey("good.pem", key);
  test::makeMismatchedKey(tree, "keys/mismatched.pem");
  const SystemKeyProvider provider(directory, false, test::files(), nullptr);
  EXPECT_EQ(provider.availableKeyIDs(), std::vector<std::string>{idOf(key)});
}

TEST_F(SystemKeyProviderTest, AMissingDirectoryHasNoKeys) {
  const SystemKeyProvider provider(tree.path("nowhere"), true, test::files(), nullptr);
  EXPECT_TRUE(provider.availableKeyIDs().empty());
  EXPECT_EQ(cryptoMessage([&] { provider.sharedSecret("0123456789abcdef", ""); }),
            "no private key for key id 0123456789abcdef");
}

TEST_F(SystemKeyProviderTest, RootOwnershipRulesForKeyFiles) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: key files must be owned by uid 0";
  const auto open = crypto::P256PrivateKey::generate();
  const auto foreign = crypto::P256PrivateKey::generate();
  const auto linked = crypto::P256PrivateKey::generate();
  writeKey("root.pem", key, 0600);
  writeKey("open.pem", open, 0640);
  const std::string foreignPath = writeKey("foreign.pem", foreign, 0600);
  ASSERT_EQ(::chown(foreignPath.c_str(), 4321, 4321), 0);
  const std::string target = tree.write("elsewhere/linked.pem", linked.pem(), 0600);
  std::filesystem::create_symlink(target, directory + "/link.pem");
  ASSERT_EQ(::mkfifo((directory + "/fifo.pem").c_str(), 0600), 0);

  const auto sorted = [](std::vector<std::string> ids) {
    std::sort(ids.begin(), ids.end());
    return ids;
  };
  const SystemKeyProvider strict(directory, true, test::files(), nullptr);
  EXPECT_EQ(strict.availableKeyIDs(), (std::vector<std::string>{idOf(key)}));
  const SystemKeyProvider lenient(directory, false, test::files(), nullptr);
  EXPECT_EQ(sorted(lenient.availableKeyIDs()),
            sorted({idOf(key), idOf(open), idOf(foreign), idOf(linked)}));
}

TEST_F(SystemKeyProviderTest, KeychainIdentitiesComeFirstAndWinOverFiles) {
  const auto fileOnly = crypto::P256PrivateKey::generate();
  const auto noCert = crypto::P256PrivateKey::generate();
  writeKey("dup.pem", key);
  writeKey("file.pem", fileOnly);
  auto keychain = std::make_shared<test::FakeKeychain>(std::vector<test::FakeIdentity>{
      {std::nullopt, noCert, false, std::nullopt},  // no certificate: skipped
      {certificateFor(key), key, false, std::nullopt},
  });
  const SystemKeyProvider provider(directory, false, test::files(), keychain);
  const auto ids = provider.availableKeyIDs();
  ASSERT_EQ(ids.size(), 3u);
  EXPECT_EQ(ids[0], idOf(key));  // the keychain's, then the files' in listing order
  EXPECT_EQ(std::count(ids.begin(), ids.end(), idOf(key)), 2);
  const auto ephemeral = crypto::P256PrivateKey::generate();
  EXPECT_EQ(secretWith(provider, key, ephemeral), ephemeral.sharedSecret(key.publicKey()));
  EXPECT_EQ(secretWith(provider, fileOnly, ephemeral),
            ephemeral.sharedSecret(fileOnly.publicKey()));
}

TEST_F(SystemKeyProviderTest, KeychainExchangeFailuresAreReportedWithoutFallingBack) {
  writeKey("same.pem", key);
  const auto ephemeral = crypto::P256PrivateKey::generate().publicKey().x963();
  struct Case {
    bool fails;
    std::optional<std::string> failure;
    std::string ephemeral, message;
  };
  const std::vector<Case> cases = {
      {true, "The operation couldn't be completed", ephemeral,
       "keychain key exchange failed: The operation couldn't be completed"},
      {true, std::nullopt, ephemeral, "keychain key exchange failed: unknown"},
      {false, std::nullopt, "bad point", "invalid ephemeral key"},
  };
  const auto certificate = certificateFor(key);
  for (const auto& c : cases) {
    auto keychain = std::make_shared<test::FakeKeychain>(
        std::vector<test::FakeIdentity>{{certificate, key, c.fails, c.failure}});
    const SystemKeyProvider provider(directory, false, test::files(), keychain);
    EXPECT_EQ(cryptoMessage([&] { provider.sharedSecret(idOf(key), c.ephemeral); }), c.message);
  }
}

TEST_F(SystemKeyProviderTest, AnIdentityWhosePrivateKeyCannotBeCopiedFallsBackToFiles) {
  writeKey("same.pem", key);
  auto keychain = std::make_shared<test::FakeKeychain>(
      std::vector<test::FakeIdentity>{{certificateFor(key), std::nullopt, false, std::nullopt}});
  const SystemKeyProvider provider(directory, false, test::files(), keychain);
  const auto ephemeral = crypto::P256PrivateKey::generate();
  EXPECT_EQ(secretWith(provider, key, ephemeral), ephemeral.sharedSecret(key.publicKey()));
}

TEST(NoKeychainTest, HasNoIdentities) {
  EXPECT_TRUE(keychain::NoKeychain().ecIdentities().empty());
  const SystemKeyProvider provider("/nonexistent-tavra-keys", true, test::files(),
                                   std::make_shared<keychain::NoKeychain>());
  EXPECT_TRUE(provider.availableKeyIDs().empty());
}

}  // namespace
}  // namespace tavra
