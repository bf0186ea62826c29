// `catalog update`: the download the daemon would make, at once, with its settings (URL, pin,
// extra trusted keys) and its cache; from a file URL and from an HTTPS server on loopback. Runs
// in-process on a cache in a scratch folder whose built-in key stands in for the release key.
#include <gtest/gtest.h>

#include "fake_context.h"
#include "support/catalog_fixtures.h"
#include "support/https_server.h"
#include "support/temp_tree.h"
#include "tavra/constants.h"
#include "tool_fixtures.h"

namespace tavra::test {
namespace {

enum class Source { file, https };

class CatalogUpdateCommandTest : public ::testing::TestWithParam<Source> {
 protected:
  void SetUp() override {
    if (GetParam() == Source::https) {
      if (!HTTPSServer::available()) GTEST_SKIP() << "python3 and openssl are needed";
      server = std::make_unique<HTTPSServer>(tree, served);
      cache.transport = {server->client(), std::chrono::seconds(20)};
    }
    fake.context.catalogCache = [this](const std::vector<std::string>& keys) {
      return cache.store(keys);
    };
    fake.context.settings = [this] { return settings; };
    settings.catalogURL = urlOf("catalog.json");
  }

  URL urlOf(const std::string& name) {
    return *URL::parse(GetParam() == Source::https ? server->url("/files/" + name)
                                                   : "file://" + served + "/" + name);
  }
  // Serves a catalog of `version` signed by `key`.
  void publish(const std::string& version, const CatalogSigningKey& key) {
    const std::string catalog = toolCatalogJSON(version);
    tree.write("served/catalog.json", catalog);
    tree.write("served/catalog.json.sig", key.signatureFile(catalog));
  }
  ToolResult update() { return fake.run({"catalog", "update"}); }
  std::string cachedVersion() {
    return cache.store(Constants::embeddedCatalogKeys()).cached().value().catalogVersion;
  }

  TempTree tree;
  FakeContext fake;
  CatalogSigningKey builtIn;
  std::string served = tree.mkdir("served");
  FakeCatalogCache cache{tree.path("Tavra/catalog"), builtIn.publicBase64()};
  TavraSettings settings;
  std::unique_ptr<HTTPSServer> server;
};

TEST_P(CatalogUpdateCommandTest, InstallsANewerCatalogAndThenFindsItCurrent) {
  publish("3.1", builtIn);
  ToolResult result = update();
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(result.output, "updated(\"3.1\")\n");
  EXPECT_EQ(cachedVersion(), "3.1");
  result = update();
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(result.output, "unchanged(\"3.1\")\n");
  publish("3.2", builtIn);
  EXPECT_EQ(update().output, "updated(\"3.2\")\n");
}

TEST_P(CatalogUpdateCommandTest, AnOlderCatalogIsARollbackAndLeavesTheCacheAlone) {
  publish("3.1", builtIn);
  ASSERT_EQ(update().status, 0);
  publish("3.0", builtIn);
  const ToolResult result = update();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.errors, "Error: catalog: refusing rollback from 3.1 to 3.0\n");
  EXPECT_EQ(cachedVersion(), "3.1");
  // What `install` would put in by hand, `update` refuses to download.
  ASSERT_EQ(fake.run({"catalog", "install", served + "/catalog.json"}).status, 0);
  EXPECT_EQ(cachedVersion(), "3.0");
}

TEST_P(CatalogUpdateCommandTest, TrustsTheBuiltInKeysFollowedByTheSettingsKeys) {
  const CatalogSigningKey mirror;
  settings.catalogTrustedKeys = {mirror.publicBase64(), "not a key"};
  publish("4.0", mirror);
  const ToolResult result = update();
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(result.output, "updated(\"4.0\")\n");
  std::vector<std::string> expected = Constants::embeddedCatalogKeys();
  expected.insert(expected.end(), {mirror.publicBase64(), "not a key"});
  EXPECT_EQ(cache.requests.front(), expected);
  // A catalog only the settings trust is not one `install` takes.
  const ToolResult installed = fake.run({"catalog", "install", served + "/catalog.json"});
  EXPECT_EQ(installed.status, 1);
  EXPECT_EQ(installed.errors,
            "Error: signature: catalog signature does not match any trusted key\n");
}

TEST_P(CatalogUpdateCommandTest, APinnedVersionThatIsNotOfferedIsRefused) {
  settings.catalogPinnedVersion = "2.0";
  publish("3.1", builtIn);
  const ToolResult result = update();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.errors, "Error: catalog: pinned version 2.0 not available at " +
                               settings.catalogURL.text() + " (found 3.1)\n");
  EXPECT_FALSE(exists(cache.directory));
  publish("2.0", builtIn);
  EXPECT_EQ(update().output, "updated(\"2.0\")\n");
}

TEST_P(CatalogUpdateCommandTest, QuotesAndBackslashesInTheVersionAreEscaped) {
  publish(R"(4.\"beta\"\\x)", builtIn);
  const ToolResult result = update();
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(result.output, R"(updated("4.\"beta\"\\x"))"
                           "\n");
}

TEST_P(CatalogUpdateCommandTest, AFailedDownloadLeavesTheCacheAlone) {
  settings.catalogURL = urlOf("missing/catalog.json");
  const ToolResult result = update();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, "");
  if (GetParam() == Source::https) {
    EXPECT_EQ(result.errors,
              "Error: catalog: download of " + settings.catalogURL.text() + " failed (404)\n");
  } else {
    EXPECT_TRUE(result.errors.starts_with("Error: cannot read ")) << result.errors;
  }
  EXPECT_FALSE(exists(cache.directory));
}

INSTANTIATE_TEST_SUITE_P(CatalogSources, CatalogUpdateCommandTest,
                         ::testing::Values(Source::file, Source::https),
                         [](const ::testing::TestParamInfo<Source>& source) {
                           return std::string(source.param == Source::file ? "FileURL" : "HTTPS");
                         });

TEST(CatalogUpdateURLTest, AnURLThatIsNeitherHTTPSNorAFileIsRefused) {
  FakeContext fake;
  TempTree tree;
  FakeCatalogCache cache{tree.path("cache"), CatalogSigningKey().publicBase64()};
  fake.context.catalogCache = [&cache](const std::vector<std::string>& keys) {
    return cache.store(keys);
  };
  TavraSettings settings;
  settings.catalogURL = *URL::parse("http://127.0.0.1:9/catalog.json");
  fake.context.settings = [&settings] { return settings; };
  const ToolResult result = fake.run({"catalog", "update"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.errors, "Error: catalog: catalog URL must be https\n");
}

}  // namespace
}  // namespace tavra::test
