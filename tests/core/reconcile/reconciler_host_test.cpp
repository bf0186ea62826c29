// A pass over targets below /tmp on this machine, where /etc, /tmp and /var are real directories
// and not links into /private: the files are written, found again and released below /tmp, the
// report and the state keep the canonical "/private/tmp/..." names, and nothing appears below
// /private.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/catalog_fixtures.h"
#include "support/scratch_environment.h"
#include "support/services.h"
#include "support/temp_tree.h"
#include "tavra/plist.h"
#include "tavra/reconciler.h"

namespace tavra {
namespace {

using Action = FileApplier::Action;

// A scratch folder directly below /tmp, removed at the end.
class TmpFolder {
 public:
  TmpFolder() {
    char pattern[] = "/tmp/tavra-host.XXXXXX";
    if (::mkdtemp(pattern) != nullptr) root_ = pattern;
  }
  ~TmpFolder() {
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
  }
  TmpFolder(const TmpFolder&) = delete;
  TmpFolder& operator=(const TmpFolder&) = delete;
  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

TEST(ReconcilerHostTest, APassBelowTmpWritesOnlyThereAndKeepsCanonicalNames) {
  const bool privateExisted = test::exists("/private");
  TmpFolder folder;
  if (folder.root().empty()) GTEST_SKIP() << "/tmp is not writable here";
  const std::string root = folder.root();
  const std::string canonicalRoot = "/private" + root;
  const std::string output = root + "/out/sub/alpha.json";  // as a catalog names it
  const std::string canonicalOutput = canonicalRoot + "/out/sub/alpha.json";

  const test::CatalogSigningKey signer;
  const std::string catalog = test::alphaCatalogJSON(output);
  const Environment environment = test::scratchEnvironment({
      .folder = root,
      .trustedKey = signer.publicBase64(),
      .builtInPathPrefixes = {root + "/out/"},
  });
  environment.catalogStore.install(catalog, signer.signatureFile(catalog));
  std::filesystem::create_directories(root + "/prefs");
  std::filesystem::create_directories(root + "/out");
  const std::string fragment = root + "/prefs/com.zelkorandin.tavra.policy.p.plist";
  std::ofstream(fragment) << plist::writeXML(Value::Object{
      {"Harnesses",
       Value::Object{{"alpha", Value::Object{{"settings", Value::Object{{"v", 1}}}}}}}});

  const auto pass = [&] { return Reconciler(environment, {}).run(false); };

  StatusReport report = pass();
  EXPECT_EQ(report.health, StatusReport::Health::ok) << report.encode();
  EXPECT_EQ(report.changes,
            (std::vector<FileApplier::Change>{{canonicalOutput, "alpha", Action::created}}));
  EXPECT_EQ(Value::parseJSON(test::readFile(output)), Value(Value::Object{{"v", 1}}));
  const FileApplier applier(root + "/support", PathPolicy({}, {}), false, test::files(),
                            std::make_shared<SystemClock>());
  const FileApplier::State state = applier.loadState();
  EXPECT_EQ(state.entries.count(canonicalOutput), 1u);
  EXPECT_EQ(state.createdDirectories, std::vector<std::string>{canonicalRoot + "/out/sub"});

  // Found again where it was written: nothing to do.
  EXPECT_TRUE(pass().changes.empty());

  // Released where it was written, with the directory the pass created.
  std::filesystem::remove(fragment);
  report = pass();
  EXPECT_EQ(report.changes,
            (std::vector<FileApplier::Change>{{canonicalOutput, "alpha", Action::removed}}));
  EXPECT_FALSE(test::exists(output));
  EXPECT_FALSE(test::exists(root + "/out/sub"));
  EXPECT_TRUE(test::exists(root + "/out"));

  EXPECT_FALSE(test::exists(canonicalRoot));
  EXPECT_EQ(test::exists("/private"), privateExisted);
}

// The preferences folder below /tmp, as with a simulation into a folder there: the files the
// pass writes into it are reported under "/private/tmp/...", and are still known to lie in it,
// so the preferences cache is flushed, once for the two files.
TEST(ReconcilerHostTest, ChangesBelowAPreferencesFolderInTmpFlushTheCacheOnce) {
  TmpFolder folder;
  if (folder.root().empty()) GTEST_SKIP() << "/tmp is not writable here";
  const std::string root = folder.root();
  const std::string prefs = root + "/prefs";

  Harness delta;
  delta.id = "delta";
  delta.displayName = "Delta";
  delta.vendor = "Example";
  for (const char* id : {"one", "two"}) {
    Output output;
    output.id = id;
    output.path = prefs + "/com.example." + id + ".plist";
    output.format = Output::Format::plist;
    delta.outputs.push_back(output);
  }
  const test::CatalogSigningKey signer;
  const std::string catalog = Catalog{2, "1.0", {delta}}.encode();
  Environment environment = test::scratchEnvironment({
      .folder = root,
      .trustedKey = signer.publicBase64(),
      .builtInPathPrefixes = {prefs + "/"},
  });
  environment.catalogStore.install(catalog, signer.signatureFile(catalog));
  std::filesystem::create_directories(prefs);
  std::ofstream(prefs + "/com.zelkorandin.tavra.policy.p.plist") << plist::writeXML(Value::Object{
      {"Harnesses", Value::Object{{"delta", Value::Object{{"one", Value::Object{{"v", 1}}},
                                                          {"two", Value::Object{{"v", 2}}}}}}}});

  int flushes = 0;
  auto log = std::make_shared<MemoryLogger>("com.zelkorandin.tavra", "reconcile");
  environment.flushPreferencesCache = [&flushes] { ++flushes; };
  environment.services.reconcileLog = log;

  const StatusReport report = Reconciler(environment, {}).run(false);
  ASSERT_EQ(report.changes.size(), 2u) << report.encode();
  EXPECT_EQ(report.changes[0].path, "/private" + prefs + "/com.example.one.plist");
  EXPECT_EQ(flushes, 1);
  const auto texts = log->texts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(),
                       "managed preferences changed; flushed the cfprefsd cache"),
            1);
}

}  // namespace
}  // namespace tavra
