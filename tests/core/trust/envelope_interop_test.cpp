// Secret envelopes against an independent implementation written with Node's node:crypto
// (ECDH P-256, HKDF-SHA256, AES-256-GCM): each side opens what the other sealed.
#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/temp_tree.h"
#include "tavra/base64.h"
#include "tavra/secret_envelope.h"

namespace tavra {
namespace {

const std::string script = std::string(TAVRA_TEST_DIR) + "/core/trust/envelope_interop.mjs";

class EnvelopeInteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::hasProgram("node")) GTEST_SKIP() << "node is not installed";
  }
  test::TempTree tree;
  crypto::P256PrivateKey key = crypto::P256PrivateKey::generate();
  InMemoryKeyProvider keys{{key}};
  std::vector<std::string> plaintexts = {"x", "hunter2", "Bearer sk-ünïcødé ✓ 🔑",
                                         std::string(5000, 'p')};
};

TEST_F(EnvelopeInteropTest, NodeSealsAndWeOpen) {
  const std::string recipient = base64::encode(key.publicKey().x963());
  for (const auto& plaintext : plaintexts) {
    const auto sealed = test::runProcess({"node", script, "seal", recipient, plaintext});
    ASSERT_EQ(sealed.status, 0) << sealed.errors;
    EXPECT_TRUE(sealed.output.starts_with(
        "TAVRA-ENC:v1:" + SecretEnvelope::keyID(key.publicKey().x963()) + ":"));
    EXPECT_EQ(SecretEnvelope::decrypt(sealed.output, keys), plaintext);
    EXPECT_EQ(SecretEnvelope::decryptAll(Value("Bearer " + sealed.output), keys),
              Value("Bearer " + plaintext));
  }
}

TEST_F(EnvelopeInteropTest, WeSealAndNodeOpens) {
  const std::string pem = tree.write("org.key.pem", key.pem(), 0600);
  for (const auto& plaintext : plaintexts) {
    const std::string envelope = SecretEnvelope::encrypt(plaintext, key.publicKey().x963());
    const auto opened = test::runProcess({"node", script, "open", pem, envelope});
    ASSERT_EQ(opened.status, 0) << opened.errors;
    EXPECT_EQ(opened.output, plaintext);
  }
  // Node refuses an envelope whose key id was changed, as we do.
  std::string envelope = SecretEnvelope::encrypt("s", key.publicKey().x963());
  envelope[13] = envelope[13] == 'a' ? 'b' : 'a';
  EXPECT_NE(test::runProcess({"node", script, "open", pem, envelope}).status, 0);
}

}  // namespace
}  // namespace tavra
