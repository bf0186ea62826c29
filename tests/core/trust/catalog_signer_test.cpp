#include "tavra/catalog_signer.h"

#include <gtest/gtest.h>

#include "support/catalog_fixtures.h"
#include "support/child_process.h"
#include "support/crypto_fixtures.h"
#include "support/services.h"
#include "support/tavra_error.h"
#include "support/temp_tree.h"
#include "tavra/base64.h"
#include "tavra/catalog_store.h"
#include "tavra/error.h"

namespace tavra {
namespace {

TEST(CatalogSignerTest, SignaturesVerifyThroughTheStore) {
  const test::CatalogSigningKey signer;
  const std::string catalog = test::catalogJSON("1.4.0");
  const CatalogStore store("/nonexistent", {signer.publicBase64()}, test::files());
  for (const std::string& keyText : {signer.privateBase64(), "\n" + signer.privateBase64() + "\n",
                                     " " + signer.privateBase64()}) {
    const std::string signature = CatalogSigner::sign(catalog, keyText);
    EXPECT_EQ(signature.find('\n'), std::string::npos);
    EXPECT_EQ(base64::decode(signature)->size(), 64u);
    EXPECT_EQ(store.verify(catalog, signature).catalogVersion, "1.4.0");
  }
}

TEST(CatalogSignerTest, BadKeyTexts) {
  EXPECT_EQ(test::tavraErrorMessage(TavraError::Case::signature,
                                    [] { CatalogSigner::sign("{}", "not base64"); }),
            "private key is not base64");
  EXPECT_THROW(CatalogSigner::sign("{}", base64::encode(std::string(16, 'k'))),
               crypto::CryptoError);
  EXPECT_THROW(CatalogSigner::sign("{}", base64::encode(std::string(64, 'k'))),
               crypto::CryptoError);
}

// The openssl command is an independent Ed25519 implementation: what it signs verifies here, and
// what is signed here verifies there.
class CatalogSignatureInteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::hasProgram("openssl")) GTEST_SKIP() << "the openssl command is not installed";
    keyPath = test::makeKey(tree, "catalog.key", {"-algorithm", "ED25519"});
    const std::string privateDER = test::openssl({"pkey", "-in", keyPath, "-outform", "DER"});
    const std::string publicDER =
        test::openssl({"pkey", "-in", keyPath, "-pubout", "-outform", "DER"});
    privateRaw = privateDER.substr(privateDER.size() - 32);
    publicRaw = publicDER.substr(publicDER.size() - 32);
    tree.write("public.pem", test::openssl({"pkey", "-in", keyPath, "-pubout"}));
    catalogPath = tree.write("catalog.json", catalog);
  }

  test::TempTree tree;
  std::string catalog = test::catalogJSON("2026.1.5");
  std::string keyPath, catalogPath, privateRaw, publicRaw;
};

TEST_F(CatalogSignatureInteropTest, AnOpenSSLSignatureVerifies) {
  const std::string signature =
      test::openssl({"pkeyutl", "-sign", "-rawin", "-inkey", keyPath, "-in", catalogPath});
  ASSERT_EQ(signature.size(), 64u);
  const CatalogStore store("/nonexistent", {base64::encode(publicRaw)}, test::files());
  EXPECT_EQ(store.verify(catalog, base64::encode(signature) + "\n").catalogVersion, "2026.1.5");
  // Our own signature with the same key is the same bytes (Ed25519 is deterministic).
  EXPECT_EQ(CatalogSigner::sign(catalog, base64::encode(privateRaw)), base64::encode(signature));
}

TEST_F(CatalogSignatureInteropTest, OurSignatureVerifiesWithOpenSSL) {
  const std::string signature = CatalogSigner::sign(catalog, base64::encode(privateRaw));
  const std::string sigPath = tree.write("catalog.json.sig.bin", *base64::decode(signature));
  const auto verify = [&](const std::string& file) {
    return test::runProcess({"openssl", "pkeyutl", "-verify", "-rawin", "-pubin", "-inkey",
                             tree.path("public.pem"), "-in", file, "-sigfile", sigPath});
  };
  EXPECT_EQ(verify(catalogPath).status, 0);
  const std::string tampered = tree.write("tampered.json", catalog + " ");
  EXPECT_NE(verify(tampered).status, 0);
}

}  // namespace
}  // namespace tavra
