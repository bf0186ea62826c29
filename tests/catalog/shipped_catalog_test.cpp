// The vendor catalog shipped in catalog/: signed by the release key, decodable, inside the
// built-in write allow-list, complete for its readers, and kept in its one canonical layout.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/crypto_fixtures.h"
#include "support/python.h"
#include "support/services.h"
#include "support/temp_tree.h"
#include "tavra/base64.h"
#include "tavra/catalog.h"
#include "tavra/catalog_store.h"
#include "tavra/constants.h"
#include "tavra/path_policy.h"
#include "tavractl/tool_process.h"

namespace tavra {
namespace {

const std::string catalogPath = TAVRA_SOURCE_DIR "/catalog/catalog.json";

class ShippedCatalogTest : public ::testing::Test {
 protected:
  std::string bytes = test::readFile(catalogPath);
  std::string signature = test::readFile(catalogPath + ".sig");
  // Trusts exactly what a default build trusts for an explicit catalog file.
  Catalog catalog = CatalogStore("/nonexistent", Constants::embeddedCatalogKeys(), test::files())
                        .verify(bytes, signature);
};

TEST_F(ShippedCatalogTest, VerifiesWithTheBuiltInKeyAndDecodes) {
  EXPECT_EQ(catalog.schemaVersion, 2);
  EXPECT_TRUE(std::regex_match(catalog.catalogVersion, std::regex(R"(20\d\d\.\d{1,2}\.\d+)")))
      << catalog.catalogVersion;
  std::vector<std::string> ids;
  for (const Harness& harness : catalog.harnesses) ids.push_back(harness.id);
  EXPECT_EQ(ids, (std::vector<std::string>{"ClaudeCode", "GeminiCli", "codex", "opencode",
                                           "ClaudeDesktop"}));
  EXPECT_EQ(catalog, Catalog::decode(bytes));
}

TEST_F(ShippedCatalogTest, SignatureFileIsTheBase64SignatureAndOneLineFeed) {
  ASSERT_TRUE(signature.ends_with("\n"));
  const std::string text = signature.substr(0, signature.size() - 1);
  EXPECT_EQ(text.find_first_of(" \t\r\n"), std::string::npos);
  const auto raw = base64::decode(text);
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->size(), 64u);
}

// The openssl command, an independent Ed25519 implementation, accepts the signature too.
TEST_F(ShippedCatalogTest, OpensslVerifiesTheSignatureWithTheReleaseKey) {
  if (!test::hasProgram("openssl")) GTEST_SKIP() << "openssl is not installed";
  const auto publicKey = base64::decode(Constants::embeddedCatalogKeys().at(0));
  const auto raw = base64::decode(signature.substr(0, signature.size() - 1));
  ASSERT_TRUE(publicKey && raw);
  const test::TempTree tree;
  const std::string spki = test::fromHex("302a300506032b6570032100") + *publicKey;
  const std::string der = tree.write("release.der", spki);
  const std::string sig = tree.write("catalog.sig", *raw);
  EXPECT_NO_THROW(test::openssl({"pkeyutl", "-verify", "-rawin", "-pubin", "-keyform", "DER",
                                 "-inkey", der, "-in", catalogPath, "-sigfile", sig}));
}

// What an administrator runs before shipping or installing it: the built tool, a default build,
// checks the files against its built-in key alone.
TEST_F(ShippedCatalogTest, TheBuiltToolVerifiesItWithTheBuiltInKey) {
  const test::ProcessResult run = test::runTavractl({"catalog", "verify", catalogPath});
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.output,
            "\u2713 catalog " + catalog.catalogVersion + " signature valid; 5 harnesses\n");
  EXPECT_EQ(run.errors, "");
}

TEST_F(ShippedCatalogTest, EveryOutputPathPassesTheBuiltInAllowListOnce) {
  const PathPolicy policy(PathPolicy::builtInPrefixes(), {});
  std::map<std::string, std::string> owners;
  for (const Harness& harness : catalog.harnesses) {
    for (const Output& output : harness.outputs) {
      const std::string name = harness.id + "/" + output.id;
      std::string canonical;
      EXPECT_NO_THROW(canonical = policy.check(output.path)) << name << " " << output.path;
      const auto [it, fresh] = owners.emplace(canonical, name);
      EXPECT_TRUE(fresh) << name << " writes the same file as " << it->second;
    }
  }
}

// The harnesses run as the signed-in user and read these root-owned files: they must be readable
// by everyone and writable by root alone.
TEST_F(ShippedCatalogTest, EveryOutputHasAnExplicitModeTheHarnessCanRead) {
  for (const Harness& harness : catalog.harnesses) {
    for (const Output& output : harness.outputs) {
      const std::string name = harness.id + "/" + output.id;
      EXPECT_TRUE(output.mode.has_value()) << name;
      EXPECT_EQ(output.fileMode() & 0444, 0444) << name;
      EXPECT_EQ(output.fileMode() & 07133, 0) << name;
      EXPECT_TRUE(output.description && !output.description->empty()) << name;
    }
  }
}

TEST_F(ShippedCatalogTest, EveryHarnessCarriesItsReviewDateSourcesNotesAndDetection) {
  for (const Harness& harness : catalog.harnesses) {
    EXPECT_NE(harness.status, Harness::Status::planned) << harness.id;
    ASSERT_TRUE(harness.lastReviewed) << harness.id;
    EXPECT_TRUE(std::regex_match(*harness.lastReviewed, std::regex(R"(20\d\d-\d\d-\d\d)")))
        << harness.id << " " << *harness.lastReviewed;
    ASSERT_TRUE(harness.documentation && !harness.documentation->empty()) << harness.id;
    for (const std::string& source : *harness.documentation) {
      EXPECT_TRUE(source.starts_with("https://")) << harness.id << ": " << source;
    }
    EXPECT_TRUE(harness.notes && !harness.notes->empty()) << harness.id;
    ASSERT_TRUE(harness.detect) << harness.id;
    const Detection& detect = *harness.detect;
    EXPECT_TRUE(detect.processNames && !detect.processNames->empty()) << harness.id;
    EXPECT_TRUE(detect.userConfigPaths && !detect.userConfigPaths->empty()) << harness.id;
    const bool findable = (detect.executables && !detect.executables->empty()) ||
                          (detect.appBundleIDs && !detect.appBundleIDs->empty());
    EXPECT_TRUE(findable) << harness.id;
  }
}

// A second strategy rule for the same path would never apply, and a domain that names the
// harness's own output file would warn on every run after the first write.
TEST_F(ShippedCatalogTest, RulesAndConflictingDomainsHaveNoDeadEntries) {
  for (const Harness& harness : catalog.harnesses) {
    std::set<std::string> outputPaths;
    for (const Output& output : harness.outputs) {
      outputPaths.insert(output.path);
      std::set<std::string> strategyPaths;
      for (const MergeRule& rule : output.mergeRules.value_or(std::vector<MergeRule>{})) {
        const std::string name = harness.id + "/" + output.id + " " + rule.path;
        if (rule.strategy) {
          EXPECT_TRUE(strategyPaths.insert(rule.path).second) << name;
        }
        if (rule.order) {
          const std::set<std::string> distinct(rule.order->begin(), rule.order->end());
          EXPECT_EQ(distinct.size(), rule.order->size()) << name;
        }
        EXPECT_TRUE(rule.strategy || rule.denies) << name << " does nothing";
      }
    }
    for (const std::string& domain :
         harness.conflictingPreferenceDomains.value_or(std::vector<std::string>{})) {
      const std::string file =
          std::string(Constants::managedPreferencesDirectory) + "/" + domain + ".plist";
      EXPECT_FALSE(outputPaths.contains(file)) << harness.id << " " << domain;
    }
  }
}

// The layout is the one `python3 -m json.tool --indent 2` writes, so an edit can be brought back
// to it with one command and reviewed as a small diff (the file is signed byte for byte).
TEST_F(ShippedCatalogTest, IsInTheCanonicalLayout) {
  if (!test::pythonHas({"json"})) GTEST_SKIP() << "python3 is not installed";
  const auto run = test::runPython(
      "import json, sys\n"
      "with open(sys.argv[1], encoding='utf-8') as f:\n"
      "    sys.stdout.write(json.dumps(json.load(f), indent=2) + '\\n')\n",
      {catalogPath});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output, bytes);
}

}  // namespace
}  // namespace tavra
