// `key-info`: the key id and public key of a certificate, or the key ids the daemon's keys give.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "fake_context.h"
#include "support/temp_tree.h"
#include "tavra/base64.h"
#include "tavra/constants.h"
#include "tavra/platform/crypto.h"
#include "tavra/secret_envelope.h"
#include "tool_fixtures.h"
#include "tool_process.h"

namespace tavra::test {
namespace {

class KeyInfoTest : public ::testing::Test {
 protected:
  TempTree tree;
  FakeContext fake;
};

TEST_F(KeyInfoTest, ACertificateGivesItsKeyIdAndPublicKey) {
  const OrganisationKey org(tree);
  const std::string x963 =
      crypto::P256PrivateKey::fromPEM(readFile(org.keyFile)).publicKey().x963();
  const ToolResult result = fake.run({"key-info", "--cert", org.certificate});
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(result.output, "key id:     " + SecretEnvelope::keyID(x963) +
                               "\npublic key: " + base64::encode(x963) + "\n");
}

TEST_F(KeyInfoTest, WithoutACertificateTheDaemonsKeyIdsAreListed) {
  fake.context.availableKeyIDs = [] { return std::vector<std::string>{}; };
  EXPECT_EQ(fake.run({"key-info"}).output, "No Tavra decryption keys available to this process.\n");
  // In the provider's order, duplicates kept.
  fake.context.availableKeyIDs = [] {
    return std::vector<std::string>{"ffff000011112222", "0123456789abcdef", "ffff000011112222"};
  };
  const ToolResult result = fake.run({"key-info"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output,
            "Available key ids: ffff000011112222, 0123456789abcdef, ffff000011112222\n");
}

TEST_F(KeyInfoTest, ACertificateWithoutAUsableKeyIsAnError) {
  const std::string rsa =
      makeCertificate(tree, "rsa.pem", makeKey(tree, "rsa.key", {"-algorithm", "RSA"}));
  const std::string missing = tree.path("missing.pem");
  for (const auto& [certificate, message] : std::vector<std::pair<std::string, std::string>>{
           {rsa, "crypto: certificate does not contain a P-256 key"},
           {tree.write("empty.pem", ""), "crypto: invalid certificate"},
           {tree.write("text.pem", "-----BEGIN CERTIFICATE-----\nnot base64\n"),
            "crypto: invalid PEM certificate"},
           {missing, "cannot read " + missing + ": No such file or directory"}}) {
    const ToolResult result = fake.run({"key-info", "--cert", certificate});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors, "Error: " + message + "\n");
  }
}

TEST(KeyInfoProgramTest, AMachineWithoutKeysSaysSo) {
  struct stat info {};
  if (::stat(std::string(Constants::keyDirectory).c_str(), &info) == 0) {
    GTEST_SKIP() << "this machine has a Tavra key folder";
  }
  const ProcessResult result = runTavractl({"key-info"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, "No Tavra decryption keys available to this process.\n");
  EXPECT_EQ(result.errors, "");
}

}  // namespace
}  // namespace tavra::test
