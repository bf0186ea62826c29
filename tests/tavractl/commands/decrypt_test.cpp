// `decrypt`: the key file read and checked first, then the text from the argument or one line of
// standard input, with every envelope in it opened and the words around them kept.
#include <gtest/gtest.h>
#include <unistd.h>

#include <iterator>

#include "fake_context.h"
#include "support/temp_tree.h"
#include "tavra/constants.h"
#include "tavra/platform/crypto.h"
#include "tavra/secret_envelope.h"
#include "tool_fixtures.h"

namespace tavra::test {
namespace {

class DecryptTest : public ::testing::Test {
 protected:
  ToolResult decrypt(const std::vector<std::string>& words, const std::string& input = {}) {
    fake.in.str(input);
    fake.in.clear();
    std::vector<std::string> all = {"decrypt"};
    all.insert(all.end(), words.begin(), words.end());
    return fake.run(all);
  }
  std::string seal(const std::string& secret) {
    return SecretEnvelope::encrypt(secret, key.publicKey().x963());
  }
  std::string unread() { return std::string(std::istreambuf_iterator<char>(fake.in), {}); }

  TempTree tree;
  FakeContext fake;
  crypto::P256PrivateKey key = crypto::P256PrivateKey::generate();
  std::string keyFile = tree.write("org.key.pem", key.pem());
};

TEST_F(DecryptTest, OpensEveryEnvelopeAndKeepsTheWordsAround) {
  const std::string one = seal("s3cret");
  const std::string two = seal("other \xE2\x9C\x93");
  for (const auto& [text, expected] : std::vector<std::pair<std::string, std::string>>{
           {one, "s3cret"},
           {"Bearer " + one, "Bearer s3cret"},
           {"a=" + one + ";b=" + two + " end", "a=s3cret;b=other \xE2\x9C\x93 end"},
           {"no envelope here", "no envelope here"},
           {"tavra-enc:v1:lower case is not one", "tavra-enc:v1:lower case is not one"},
           {"", ""}}) {
    ToolResult result = decrypt({"--key", keyFile, text});
    EXPECT_EQ(result.status, 0) << result.errors;
    EXPECT_EQ(result.output, expected + "\n");
    result = decrypt({"--key", keyFile}, text + "\r\nnot read\n");
    EXPECT_EQ(result.output, expected + "\n");
    EXPECT_EQ(unread(), "not read\n");
  }
}

TEST_F(DecryptTest, AnEmptyLineIsInputButTheEndOfInputIsNot) {
  EXPECT_EQ(decrypt({"--key", keyFile}, "\n").output, "\n");
  const ToolResult result = decrypt({"--key", keyFile}, "");
  EXPECT_EQ(result.status, 64);
  EXPECT_EQ(result.output, "");
  EXPECT_TRUE(result.errors.starts_with("Error: no input\nUsage: tavractl decrypt "))
      << result.errors;
}

TEST_F(DecryptTest, EnvelopesThatDoNotOpenPrintNothing) {
  const std::string envelope = seal("s3cret");
  const std::string id = envelope.substr(13, 16);
  std::string altered = envelope;
  altered[40] = altered[40] == 'A' ? 'B' : 'A';
  const std::string foreign =
      SecretEnvelope::encrypt("x", crypto::P256PrivateKey::generate().publicKey().x963());
  for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
           {envelope.substr(0, 60), "crypto: malformed envelope"},
           {"TAVRA-ENC:v1:" + id + ":", "crypto: malformed envelope"},
           {"ok " + seal("fine") + " then " + envelope.substr(0, 50), "crypto: malformed envelope"},
           {altered, "crypto: authentication failed for key " + id},
           {foreign, "crypto: no private key for key id " + foreign.substr(13, 16)}}) {
    SCOPED_TRACE(text);
    const ToolResult result = decrypt({"--key", keyFile, text});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors, "Error: " + message + "\n");
  }
}

TEST_F(DecryptTest, AKeyFileThatCannotBeUsedIsReportedBeforeStandardInputIsRead) {
  const std::string huge = tree.write("huge.pem", "");
  ASSERT_EQ(truncate(huge.c_str(), Constants::maxInputFileBytes + 1), 0);
  const std::string missing = tree.path("missing.pem");
  const std::string folder = tree.mkdir("folder.pem");
  const std::string p384 =
      makeKey(tree, "p384.pem", {"-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-384"});
  const std::string rsa = makeKey(tree, "rsa.pem", {"-algorithm", "RSA"});
  const std::string ed25519 = makeKey(tree, "ed25519.pem", {"-algorithm", "ED25519"});
  const std::vector<std::pair<std::string, std::string>> cases = {
      {missing, "cannot read " + missing + ": No such file or directory"},
      {folder, "cannot read " + folder + ": Is a directory"},
      {huge, "cannot read " + huge + ": larger than 64 MiB"},
      {tree.write("empty.pem", ""), "invalid PEM private key"},
      {tree.write("binary.pem", std::string("\x00\x01\xFF\xFE", 4)), "invalid PEM private key"},
      {tree.write("truncated.pem", key.pem().substr(0, 60)), "invalid PEM private key"},
      {p384, "invalid PEM private key: not a P-256 key"},
      {rsa, "invalid PEM private key"},
      {ed25519, "invalid PEM private key"},
      {makeMismatchedKey(tree, "mismatched.pem"),
       "invalid PEM private key: its public key does not belong to its private key"},
  };
  for (const auto& [file, message] : cases) {
    SCOPED_TRACE(file);
    const ToolResult result = decrypt({"--key", file}, seal("s3cret") + "\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "");
    EXPECT_TRUE(result.errors.starts_with("Error: " + message)) << result.errors;
    EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 1) << result.errors;
    EXPECT_FALSE(unread().empty()) << "standard input was read";
  }
}

}  // namespace
}  // namespace tavra::test
