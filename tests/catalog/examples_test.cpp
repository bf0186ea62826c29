// The files in examples/: the fragment files that a directory of fragments yields, their payloads
// against the shipped catalog, the settings plist, and the demo organisation key pair.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/example_fragments.h"
#include "support/services.h"
#include "support/temp_tree.h"
#include "tavra/catalog.h"
#include "tavra/certificate_key.h"
#include "tavra/constants.h"
#include "tavra/decryption_key_provider.h"
#include "tavra/platform/crypto.h"
#include "tavra/policy_fragment.h"
#include "tavra/profile_builder.h"
#include "tavra/renderer.h"
#include "tavra/secret_envelope.h"
#include "tavra/settings.h"

namespace tavra {
namespace {

const std::string examples = TAVRA_SOURCE_DIR "/examples";
const std::string demoKey = examples + "/demo-org/demo-org-NOT-FOR-DEPLOYMENT.key.pem";
const std::string demoCertificate = examples + "/demo-org/demo-org-NOT-FOR-DEPLOYMENT.cert.pem";

std::set<std::string> propertyNames(const Value& schema) {
  std::set<std::string> names;
  const auto properties = schema[KeyPath("properties")]->objectValue();
  for (const auto& [name, property] : properties.value()) names.insert(name);
  return names;
}

// The settings plist, the demo key and certificate sit in subfolders, so a directory of
// fragments reads the fragment files and nothing else.
TEST(ExamplesTest, TheDirectoryYieldsExactlyTheFragmentFiles) {
  EXPECT_EQ(test::fragmentFileNames(examples),
            (std::vector<std::string>{"baseline.json", "secrets.mobileconfig", "team.plist"}));
}

TEST(ExamplesTest, FragmentsParseWithTheirIdsPrioritiesAndOnlyKnownPayloadKeys) {
  const std::vector<PolicyFragment> fragments = test::loadFragments(examples);
  ASSERT_EQ(fragments.size(), 3u);
  EXPECT_EQ(fragments[0].id, "baseline");
  EXPECT_EQ(fragments[0].priority, 10);
  EXPECT_EQ(fragments[0].sourceDomain, "com.zelkorandin.tavra.policy.baseline");
  EXPECT_EQ(fragments[1].id, "secrets");
  EXPECT_EQ(fragments[1].priority, 20);
  EXPECT_EQ(fragments[1].sourceDomain, "com.zelkorandin.tavra.policy.secrets");
  EXPECT_EQ(fragments[2].id, "team");
  EXPECT_EQ(fragments[2].priority, 50);
  EXPECT_EQ(fragments[2].sourceDomain, "com.zelkorandin.tavra.policy.team");
  for (const PolicyFragment& fragment : fragments) EXPECT_TRUE(fragment.description) << fragment.id;

  // A misspelt payload key would be ignored without a word. The Jamf form offers Harnesses as
  // JSON text (HarnessesJSON); the files here carry the dictionary itself.
  std::set<std::string> known = propertyNames(ProfileBuilder::jamfFragmentSchema(nullptr));
  known.insert("Harnesses");
  for (const std::string& name : test::fragmentFileNames(examples)) {
    for (const auto& payload :
         ProfileBuilder::fragmentPayloads(*test::files(), examples + "/" + name)) {
      const auto keys = payload.value.objectValue();
      ASSERT_TRUE(keys) << name;
      for (const auto& [key, value] : *keys)
        EXPECT_TRUE(known.contains(key)) << name << ": " << key;
    }
  }
}

// What `validate` checks, in-process: known, not planned harnesses and known outputs; and the
// baseline configures every output of every harness.
TEST(ExamplesTest, FragmentsNameOnlyCatalogHarnessesAndOutputsAndTheBaselineCoversThemAll) {
  const Catalog catalog = Catalog::decode(test::readFile(TAVRA_SOURCE_DIR "/catalog/catalog.json"));
  const std::vector<PolicyFragment> fragments = test::loadFragments(examples);
  for (const PolicyFragment& fragment : fragments) {
    for (const auto& [harnessID, outputs] : fragment.harnesses) {
      const auto harness = catalog.harness(harnessID);
      ASSERT_TRUE(harness) << fragment.id << ": unknown harness " << harnessID;
      EXPECT_NE(harness->status, Harness::Status::planned) << harnessID;
      for (const auto& entry : outputs) {
        const std::string& outputID = entry.first;
        const bool known = std::any_of(harness->outputs.begin(), harness->outputs.end(),
                                       [&](const Output& o) { return o.id == outputID; });
        EXPECT_TRUE(known) << fragment.id << ": unknown output " << harnessID << "." << outputID;
      }
    }
  }
  const PolicyFragment& baseline = fragments.at(0);
  for (const Harness& harness : catalog.harnesses) {
    const auto it = baseline.harnesses.find(harness.id);
    ASSERT_NE(it, baseline.harnesses.end()) << harness.id;
    for (const Output& output : harness.outputs) {
      EXPECT_TRUE(it->second.contains(output.id)) << harness.id << "." << output.id;
    }
  }
}

TEST(ExamplesTest, SettingsPlistUsesOnlySettingsKeysAndIsReadAsWritten) {
  const Value value = Value::parsePlist(
      test::readFile(examples + "/settings/" + std::string(Constants::settingsDomain) + ".plist"));
  const std::set<std::string> known = propertyNames(ProfileBuilder::jamfSettingsSchema());
  const auto keys = value.objectValue();
  ASSERT_TRUE(keys);
  for (const auto& [key, entry] : *keys) EXPECT_TRUE(known.contains(key)) << key;
  TavraSettings expected;
  expected.reapplyInterval = 600;
  expected.catalogRefreshInterval = 43200;
  EXPECT_EQ(TavraSettings::fromValue(value), expected);
}

// The profiles for the MDM server carry the fragments and the settings exactly as the files
// beside them hold them, and say whose they are: the demo organisation's.
TEST(ExamplesTest, ProfilesCarryTheFilesBesideThemUnchanged) {
  const std::pair<std::string, std::string> fragmentProfiles[] = {
      {"baseline.json", "profiles/baseline.mobileconfig"},
      {"team.plist", "profiles/team.mobileconfig"}};
  for (const auto& [plain, profile] : fragmentProfiles) {
    const auto expected = ProfileBuilder::fragmentPayloads(*test::files(), examples + "/" + plain);
    const auto carried = ProfileBuilder::fragmentPayloads(*test::files(), examples + "/" + profile);
    ASSERT_EQ(expected.size(), 1u) << plain;
    ASSERT_EQ(carried.size(), 1u) << profile;
    EXPECT_EQ(carried[0], expected[0]) << profile;
  }

  const Value settings = Value::parsePlist(
      test::readFile(examples + "/settings/" + std::string(Constants::settingsDomain) + ".plist"));
  const Value profile =
      Value::parsePlist(test::readFile(examples + "/profiles/settings.mobileconfig"));
  const auto content = profile[KeyPath("PayloadContent")];
  ASSERT_TRUE(content && content->asArray() && content->asArray()->size() == 1u);
  const Value& payload = content->asArray()->front();
  EXPECT_EQ(payload[KeyPath("PayloadType")], Value(std::string(Constants::settingsDomain)));
  Value::Object carried;
  for (const auto& [key, value] : *payload.asObject()) {
    if (!key.starts_with("Payload")) carried.emplace(key, value);
  }
  EXPECT_EQ(Value(carried), settings);

  for (const char* name : {"profiles/baseline.mobileconfig", "profiles/team.mobileconfig",
                           "profiles/settings.mobileconfig", "secrets.mobileconfig"}) {
    const Value outer = Value::parsePlist(test::readFile(examples + "/" + name));
    EXPECT_EQ(outer[KeyPath("PayloadOrganization")],
              Value("Tavra demo organisation (NOT FOR DEPLOYMENT)"))
        << name;
  }
}

// Every envelope of the examples is sealed to the demo certificate: the demo key opens each, and
// nothing else is left sealed.
TEST(ExamplesTest, SecretsAreSealedToTheDemoCertificate) {
  const std::vector<PolicyFragment> fragments = test::loadFragments(examples);
  const InMemoryKeyProvider keys({crypto::P256PrivateKey::fromPEM(test::readFile(demoKey))});
  const std::string sealed = test::readFile(examples + "/secrets.mobileconfig");
  EXPECT_NE(sealed.find("Bearer TAVRA-ENC:v1:9f9066f8a8dc74b6:"), std::string::npos);
  EXPECT_EQ(sealed.find("demo-sentry-token"), std::string::npos) << "the token in plain text";
  for (const PolicyFragment& fragment : fragments) {
    for (const auto& [harnessID, outputs] : fragment.harnesses) {
      for (const auto& [outputID, value] : outputs) {
        const Value opened = SecretEnvelope::decryptAll(value, keys);
        EXPECT_EQ(Renderer::jsonString(opened, false).find("TAVRA-ENC:"), std::string::npos)
            << fragment.id << " " << harnessID << "." << outputID;
      }
    }
  }
  const PolicyFragment& secrets = fragments.at(1);
  ASSERT_EQ(secrets.id, "secrets");
  for (const char* harnessID : {"ClaudeCode", "GeminiCli"}) {
    const Value& value = secrets.harnesses.at(harnessID).begin()->second;
    EXPECT_EQ(
        SecretEnvelope::decryptAll(value, keys)[KeyPath("mcpServers.sentry.headers.Authorization")],
        Value("Bearer demo-sentry-token-NOT-A-REAL-SECRET"))
        << harnessID;
  }
}

// The demo certificate carries the public half of the demo key: a secret sealed to the
// certificate opens with the key.
TEST(ExamplesTest, DemoCertificateAndKeyArePartners) {
  const auto key = crypto::P256PrivateKey::fromPEM(test::readFile(demoKey));
  const std::string x963 = CertificateKey::x963PublicKey(test::readFile(demoCertificate));
  EXPECT_EQ(x963, key.publicKey().x963());
  EXPECT_EQ(SecretEnvelope::keyID(x963), "9f9066f8a8dc74b6");  // as examples/README.md says

  const std::string envelope = SecretEnvelope::encrypt("demo-token", x963);
  EXPECT_EQ(SecretEnvelope::decrypt(envelope, InMemoryKeyProvider({key})), "demo-token");
}

}  // namespace
}  // namespace tavra
