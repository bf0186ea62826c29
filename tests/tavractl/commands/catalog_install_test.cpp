// `catalog install`: a signed catalog into the daemon's cache, trusting the built-in key only,
// verified before anything is written, with no version comparison. Runs in-process on a cache in
// a scratch folder whose built-in key stands in for the release key.
#include <gtest/gtest.h>

#include "fake_context.h"
#include "support/catalog_fixtures.h"
#include "support/temp_tree.h"
#include "tavra/constants.h"
#include "tool_fixtures.h"

namespace tavra::test {
namespace {

class CatalogInstallTest : public ::testing::Test {
 protected:
  CatalogInstallTest() {
    fake.context.catalogCache = [this](const std::vector<std::string>& keys) {
      return cache.store(keys);
    };
  }
  // A catalog file of `version` with its signature file by `key`.
  std::string release(const std::string& version, const CatalogSigningKey& key) {
    const std::string catalog = toolCatalogJSON(version);
    tree.write("release/catalog.json.sig", key.signatureFile(catalog));
    return tree.write("release/catalog.json", catalog);
  }
  ToolResult install(const std::string& path) { return fake.run({"catalog", "install", path}); }
  std::string cachedVersion() {
    return cache.store(Constants::embeddedCatalogKeys()).cached().value().catalogVersion;
  }

  TempTree tree;
  FakeContext fake;
  CatalogSigningKey builtIn;
  FakeCatalogCache cache{tree.path("Tavra/catalog"), builtIn.publicBase64()};
};

TEST_F(CatalogInstallTest, ASignedCatalogIsWrittenAsItIsTrustingOnlyTheBuiltInKey) {
  const std::string path = release("3.1", builtIn);
  const ToolResult result = install(path);
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(result.output, "installed\n");
  EXPECT_EQ(cache.requests,
            std::vector<std::vector<std::string>>{Constants::embeddedCatalogKeys()});
  EXPECT_EQ(readFile(cache.directory + "/catalog.json"), readFile(path));
  EXPECT_EQ(readFile(cache.directory + "/catalog.json.sig"), readFile(path + ".sig"));
}

TEST_F(CatalogInstallTest, AnOlderCatalogReplacesANewerOne) {
  ASSERT_EQ(install(release("3.1", builtIn)).status, 0);
  const ToolResult result = install(release("3.0", builtIn));
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(result.output, "installed\n");
  EXPECT_EQ(cachedVersion(), "3.0");
}

TEST_F(CatalogInstallTest, ACatalogThatDoesNotVerifyWritesNothing) {
  // Nothing installed yet: not even the folder is made.
  const std::string path = release("3.1", builtIn);
  tree.write("release/catalog.json", toolCatalogJSON("3.1") + " ");
  ToolResult result = install(path);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.errors, "Error: signature: catalog signature does not match any trusted key\n");
  EXPECT_FALSE(exists(cache.directory));

  // Over an installed catalog: it stays. A key that only the settings might trust is not enough.
  ASSERT_EQ(install(release("3.0", builtIn)).status, 0);
  const CatalogSigningKey settingsKey;
  result = install(release("3.2", settingsKey));
  EXPECT_EQ(result.errors, "Error: signature: catalog signature does not match any trusted key\n");
  tree.write("release/catalog.json.sig", "not base64\n");
  EXPECT_EQ(install(path).errors, "Error: signature: signature is not base64\n");
  EXPECT_EQ(cachedVersion(), "3.0");

  const std::string newer = R"({"schemaVersion":3,"catalogVersion":"9","harnesses":[]})";
  tree.write("release/catalog.json", newer);
  tree.write("release/catalog.json.sig", builtIn.signatureFile(newer));
  result = install(path);
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(result.errors.starts_with("Error: catalog: ")) << result.errors;
  EXPECT_EQ(cachedVersion(), "3.0");
}

TEST_F(CatalogInstallTest, FilesThatCannotBeReadAreFileSystemErrors) {
  const std::string lonely = tree.write("lonely/catalog.json", toolCatalogJSON());
  ToolResult result = install(lonely);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.errors, "Error: cannot read " + lonely + ".sig: No such file or directory\n");
  const std::string missing = tree.path("missing.json");
  result = install(missing);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.errors, "Error: cannot read " + missing + ": No such file or directory\n");
  EXPECT_FALSE(exists(cache.directory));
}

TEST_F(CatalogInstallTest, ACacheThatCannotBeWrittenIsReported) {
  tree.write("blocked", "a file where the cache folder should be");
  cache.directory = tree.path("blocked/catalog");
  const ToolResult result = install(release("3.1", builtIn));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, "");
  EXPECT_TRUE(result.errors.starts_with("Error: cannot create directory " + tree.path("blocked")))
      << result.errors;
}

}  // namespace
}  // namespace tavra::test
