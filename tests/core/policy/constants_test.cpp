#include "tavra/constants.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tavra/base64.h"

namespace tavra {
namespace {

TEST(ConstantsTest, IdentifiersAndVersion) {
  EXPECT_EQ(Constants::version, "0.2.1");
  EXPECT_EQ(Constants::bundleID, "com.zelkorandin.tavra");
  EXPECT_EQ(Constants::settingsDomain, Constants::bundleID);
  EXPECT_EQ(Constants::logSubsystem, Constants::bundleID);
  EXPECT_EQ(Constants::policyDomainPrefix, "com.zelkorandin.tavra.policy.");
  // The settings domain is not a policy domain.
  EXPECT_FALSE(Constants::settingsDomain.starts_with(Constants::policyDomainPrefix));
}

TEST(ConstantsTest, PathsAndIntervals) {
  EXPECT_EQ(Constants::managedPreferencesDirectory, "/Library/Managed Preferences");
  const std::string support(Constants::supportDirectory);
  EXPECT_EQ(support, "/Library/Application Support/Tavra");
  EXPECT_EQ(Constants::catalogDirectory, support + "/catalog");
  EXPECT_EQ(Constants::stateFile, support + "/state.json");
  EXPECT_EQ(Constants::statusFile, support + "/status.json");
  EXPECT_EQ(Constants::backupDirectory, support + "/backups");
  EXPECT_EQ(Constants::keyDirectory, support + "/keys");
  EXPECT_EQ(Constants::defaultReapplyInterval, 900.0);
  EXPECT_EQ(Constants::defaultCatalogRefreshInterval, 86400.0);
}

TEST(ConstantsTest, DefaultCatalogURLIsAnHTTPSAddressOfCatalogJSON) {
  const std::string& url = Constants::defaultCatalogURL();
  EXPECT_TRUE(url.starts_with("https://")) << url;
  EXPECT_TRUE(url.ends_with("/catalog.json")) << url;
  EXPECT_EQ(&url, &Constants::defaultCatalogURL());  // built once, then kept
}

TEST(ConstantsTest, EmbeddedCatalogKeyIsTheReleaseKey) {
  std::ifstream file(TAVRA_SOURCE_DIR "/keys/catalog-release.pub");
  ASSERT_TRUE(file) << "keys/catalog-release.pub is missing";
  std::stringstream text;
  text << file.rdbuf();
  std::string released = text.str();
  while (!released.empty() && (released.back() == '\n' || released.back() == '\r')) {
    released.pop_back();
  }
  const auto& keys = Constants::embeddedCatalogKeys();
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0], released);
  EXPECT_EQ(keys[0].size(), 44u);
  const auto raw = base64::decode(keys[0]);
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->size(), 32u);
}

}  // namespace
}  // namespace tavra
