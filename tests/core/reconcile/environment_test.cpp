#include "tavra/environment.h"

#include <gtest/gtest.h>

#include "support/recording_launcher.h"
#include "support/services.h"
#include "tavra/base64.h"
#include "tavra/constants.h"
#include "tavra/path_policy.h"
#include "tavra/platform/crypto.h"

namespace tavra {
namespace {

TEST(EnvironmentTest, SystemEnvironmentTrustsTheBuiltInKeyThenValidExtraKeys) {
  std::string valid = base64::encode(crypto::Ed25519PrivateKey::generate().publicKey().raw());
  TavraSettings settings;
  const Services services = test::services();
  Environment plain = Environment::system(settings, services);
  ASSERT_EQ(plain.catalogStore.trustedKeys().size(), 1u);
  std::string builtIn = plain.catalogStore.trustedKeys()[0].raw();
  EXPECT_EQ(base64::encode(builtIn), Constants::embeddedCatalogKeys().at(0));

  settings.catalogTrustedKeys = {"not base64!", base64::encode(std::string(31, 'a')), " " + valid,
                                 valid + "\n", valid};
  Environment e = Environment::system(settings, services);
  ASSERT_EQ(e.catalogStore.trustedKeys().size(), 2u);
  EXPECT_EQ(e.catalogStore.trustedKeys()[0].raw(), builtIn);
  EXPECT_EQ(base64::encode(e.catalogStore.trustedKeys()[1].raw()), valid);

  EXPECT_EQ(e.preferences,
            ManagedPreferences("/Library/Managed Preferences", true, services.fileSystem));
  EXPECT_EQ(e.catalogStore.directory(), "/Library/Application Support/Tavra/catalog");
  EXPECT_EQ(e.supportDirectory, "/Library/Application Support/Tavra");
  EXPECT_EQ(e.builtInPathPrefixes, PathPolicy::builtInPrefixes());
  EXPECT_TRUE(e.setRootOwnership);
  EXPECT_TRUE(e.discovery.has_value());
  EXPECT_TRUE(static_cast<bool>(e.flushPreferencesCache));
  auto keys = std::dynamic_pointer_cast<const SystemKeyProvider>(e.keys);
  ASSERT_TRUE(keys);
  EXPECT_EQ(keys->keyDirectory(), "/Library/Application Support/Tavra/keys");
  EXPECT_TRUE(keys->requireRootOwnedFiles());
}

TEST(EnvironmentTest, ProductionFlushReturnsWhenThereIsNothingToKill) {
  // No cfprefsd runs here: killall fails, and the failure is ignored.
  flushPreferencesCacheWithKillall(platform::SystemProgramLauncher());
  SUCCEED();
}

// The flush starts killall through the services' launcher, whatever becomes of it.
TEST(EnvironmentTest, TheSystemFlushRunsKillallOfCfprefsdThroughTheLauncher) {
  for (const std::optional<int> answer :
       {std::optional<int>(0), std::optional<int>(1 << 8), std::optional<int>()}) {
    Services services = test::services();
    const auto launcher = std::make_shared<test::RecordingLauncher>(answer);
    services.programs = launcher;
    const Environment environment = Environment::system(TavraSettings(), services);
    environment.flushPreferencesCache();
    const std::vector<test::RecordingLauncher::Run> expected = {{"/usr/bin/killall", {"cfprefsd"}}};
    EXPECT_EQ(launcher->runs(), expected);
  }
  Services none = test::services();
  none.programs = nullptr;
  EXPECT_THROW(Environment::system(TavraSettings(), none), std::invalid_argument);
}

}  // namespace
}  // namespace tavra
