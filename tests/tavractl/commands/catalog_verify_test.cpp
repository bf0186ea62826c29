// `catalog verify`: a catalog and its signature file against the built-in key only, with the
// real program and with a second one built around a throw-away key.
#include <gtest/gtest.h>

#include <cctype>

#include "support/temp_tree.h"
#include "tavra/base64.h"
#include "tavra/platform/crypto.h"
#include "tool_fixtures.h"
#include "tool_process.h"

namespace tavra::test {
namespace {

// The second program, whose built-in catalog key is a throw-away key made when the build was
// configured, and that key's private half (base64 of its 32 raw bytes).
const std::string tavractlThrowawayKeyPath = TAVRACTL_THROWAWAY_KEY_PATH;
const std::string throwawayCatalogKeyFile = TAVRA_THROWAWAY_CATALOG_KEY;

// Runs the program whose built-in catalog key is the throw-away key.
ProcessResult runThrowawayBuild(const std::vector<std::string>& words) {
  std::vector<std::string> argv = {tavractlThrowawayKeyPath};
  argv.insert(argv.end(), words.begin(), words.end());
  return runProcess(argv);
}

const std::string noTrustedKey =
    "Error: signature: catalog signature does not match any trusted key\n";

class CatalogVerifyTest : public ::testing::Test {
 protected:
  // Signs `path` with the throw-away built-in key through the real program.
  void signWithThrowawayKey(const std::string& path) {
    const ProcessResult signedNow =
        runTavractl({"catalog", "sign", path, "--key", throwawayCatalogKeyFile});
    ASSERT_EQ(signedNow.status, 0) << signedNow.errors;
  }

  TempTree tree;
  std::string catalog = tree.write("catalog.json", toolCatalogJSON());
};

TEST_F(CatalogVerifyTest, AValidSignatureByTheBuiltInKeyCountsEveryHarness) {
  signWithThrowawayKey(catalog);
  const ProcessResult result = runThrowawayBuild({"catalog", "verify", catalog});
  EXPECT_EQ(result.status, 0) << result.errors;
  // The planned harness counts too.
  EXPECT_EQ(result.output, "\u2713 catalog 3.1 signature valid; 3 harnesses\n");
  EXPECT_EQ(result.output.substr(0, 4), "\xE2\x9C\x93 ");
  // The real program's built-in key is the release key, which did not sign it.
  const ProcessResult real = runTavractl({"catalog", "verify", catalog});
  EXPECT_EQ(real.status, 1);
  EXPECT_EQ(real.output, "");
  EXPECT_EQ(real.errors, noTrustedKey);
}

TEST_F(CatalogVerifyTest, OneChangedByteOrAnotherKeyFails) {
  signWithThrowawayKey(catalog);
  const std::string signature = readFile(catalog + ".sig");
  for (const std::string& changed :
       {toolCatalogJSON() + "\n", " " + toolCatalogJSON(), toolCatalogJSON("3.2")}) {
    tree.write("catalog.json", changed);
    const ProcessResult result = runThrowawayBuild({"catalog", "verify", catalog});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errors, noTrustedKey);
  }
  tree.write("catalog.json", toolCatalogJSON());
  const crypto::Ed25519PrivateKey other = crypto::Ed25519PrivateKey::generate();
  tree.write("catalog.json.sig", base64::encode(other.sign(toolCatalogJSON())) + "\n");
  EXPECT_EQ(runThrowawayBuild({"catalog", "verify", catalog}).errors, noTrustedKey);
}

TEST_F(CatalogVerifyTest, MissingFilesAndBrokenSignatures) {
  ProcessResult result = runThrowawayBuild({"catalog", "verify", catalog});
  EXPECT_EQ(result.status, 64);
  EXPECT_TRUE(result.errors.starts_with("Error: missing " + catalog + ".sig\n")) << result.errors;

  const std::string missing = tree.path("missing.json");
  result = runThrowawayBuild({"catalog", "verify", missing});
  EXPECT_EQ(result.status, 64);
  EXPECT_TRUE(result.errors.starts_with("Error: cannot read " + missing + "\n")) << result.errors;

  for (const std::string& signature :
       {std::string("not base64!\n"), std::string("\x00\xFF", 2), std::string("AAAA\nAAAA\n")}) {
    tree.write("catalog.json.sig", signature);
    result = runThrowawayBuild({"catalog", "verify", catalog});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errors, "Error: signature: signature is not base64\n");
  }
  tree.write("catalog.json.sig", "\n");
  EXPECT_EQ(runThrowawayBuild({"catalog", "verify", catalog}).errors, noTrustedKey);
}

TEST_F(CatalogVerifyTest, ASignedCatalogThatDoesNotDecodeIsRefused) {
  std::string keyText = readFile(throwawayCatalogKeyFile);
  while (!keyText.empty() && std::isspace(static_cast<unsigned char>(keyText.back()))) {
    keyText.pop_back();
  }
  const crypto::Ed25519PrivateKey builtIn =
      crypto::Ed25519PrivateKey::fromRaw(*base64::decode(keyText));
  const std::string newer = R"({"schemaVersion":3,"catalogVersion":"9","harnesses":[]})";
  tree.write("catalog.json", newer);
  tree.write("catalog.json.sig", base64::encode(builtIn.sign(newer)));
  const ProcessResult result = runThrowawayBuild({"catalog", "verify", catalog});
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(result.errors.starts_with("Error: catalog: ")) << result.errors;
  EXPECT_EQ(result.output, "");
}

}  // namespace
}  // namespace tavra::test
