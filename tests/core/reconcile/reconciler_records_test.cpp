// Whole passes that test what the applier's records (state entries, applied copies, backups)
// make of a file over several passes: a pass that could not save them, a frozen harness whose
// file was deleted, and one file spelled two ways by the catalog.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/catalog_fixtures.h"
#include "support/faulty_file_system.h"
#include "support/scratch_environment.h"
#include "support/services.h"
#include "support/temp_tree.h"
#include "tavra/plist.h"
#include "tavra/reconciler.h"

namespace tavra {
namespace {

using Action = FileApplier::Action;
using Health = StatusReport::Health;

// A support folder that can be made read-only: no file can be created in the folders named
// (compared by identity, so whatever path reaches them), as on a read-only or full disk.
class ReadOnlyFolders final : public test::FileSystemWrapper {
 public:
  using FileSystemWrapper::FileSystemWrapper;

  void make(const std::vector<std::string>& folders) {
    refused_.clear();
    for (const auto& folder : folders) {
      std::error_code error;
      if (auto status = target().status(folder, fs::Links::follow, error)) {
        refused_.push_back(*status);
      }
    }
  }

  fs::FileDescriptor createFileAt(const fs::FileDescriptor& directory, const std::string& name,
                                  std::optional<std::uint16_t> mode,
                                  std::error_code& error) const override {
    const auto status = target().status(directory, error);
    for (const auto& folder : refused_) {
      if (status && status->sameFile(folder)) {
        error = std::make_error_code(std::errc::read_only_file_system);
        return {};
      }
    }
    return FileSystemWrapper::createFileAt(directory, name, mode, error);
  }

 private:
  std::vector<fs::FileStatus> refused_;
};

class ReconcilerRecordsTest : public ::testing::Test {
 protected:
  test::TempTree tree;
  std::string prefs = tree.mkdir("prefs");
  std::string out = tree.mkdir("out");
  std::string support = tree.path("support");
  std::string settings = out + "/alpha/settings.json";
  std::shared_ptr<ReadOnlyFolders> files = std::make_shared<ReadOnlyFolders>(test::files());
  test::CatalogSigningKey signer;

  // One harness with one output at `path` (spelled as given), with `mode`.
  void installCatalog(const std::string& path, const std::string& mode = "0644") const {
    const std::string catalog = test::alphaCatalogJSON(path, mode);
    CatalogStore(support + "/catalog", {signer.publicBase64()}, test::files())
        .install(catalog, signer.signatureFile(catalog));
  }

  void writeFragment(const std::string& value) const {
    const Value payload(Value::Object{
        {"Harnesses",
         Value::Object{{"alpha", Value::Object{{"settings", Value::Object{{"v", value}}}}}}}});
    tree.write("prefs/com.zelkorandin.tavra.policy.team.plist", plist::writeXML(payload));
  }
  void breakAFragment() const {
    tree.write("prefs/com.zelkorandin.tavra.policy.broken.plist", "not a property list");
  }
  void mendTheFragments() const {
    std::filesystem::remove(prefs + "/com.zelkorandin.tavra.policy.broken.plist");
  }

  StatusReport run() const {
    const Environment environment = test::scratchEnvironment({
        .folder = tree.root(),
        .trustedKey = signer.publicBase64(),
        .builtInPathPrefixes = {out + "/"},
        .fileSystem = files,
    });
    return Reconciler(environment, {}).run(false);
  }

  FileApplier::State state() const {
    return FileApplier(support, PathPolicy({}, {}), false, test::files(),
                       test::clock([] { return Date(); }))
        .loadState();
  }
  std::string appliedCopy() const {
    return test::readFile(support + "/applied/" + FileApplier::sha256(settings));
  }
  static std::vector<Action> actions(const StatusReport& report) {
    std::vector<Action> list;
    for (const auto& change : report.changes) list.push_back(change.action);
    return list;
  }
};

struct Unsaved {
  const char* name;
  bool appliedCopyFails;  // the applied folder is read-only too, not only state.json's
};

class ReconcilerUnsavedPassTest : public ReconcilerRecordsTest,
                                  public ::testing::WithParamInterface<Unsaved> {};

// A pass writes v2 but cannot save its records; the next pass finds the file as desired and
// brings the records up to it, so a later pass that re-asserts the applied copies (one fragment
// unreadable) keeps v2 instead of rolling the file back to v1 as a "drift correction".
TEST_P(ReconcilerUnsavedPassTest, TheNextPassBringsTheRecordsUpToTheFile) {
  installCatalog(settings);
  writeFragment("v1");
  ASSERT_EQ(run().health, Health::ok);
  const std::string v1 = test::readFile(settings);

  writeFragment("v2");
  std::vector<std::string> readOnly{support};
  if (GetParam().appliedCopyFails) readOnly.push_back(support + "/applied");
  files->make(readOnly);
  const StatusReport failed = run();
  ASSERT_EQ(failed.health, Health::degraded);
  const std::string v2 = test::readFile(settings);
  ASSERT_NE(v2, v1);  // the output got the new bytes; the records did not
  ASSERT_EQ(state().entries.at(settings).sha256, FileApplier::sha256(v1));

  files->make({});
  const StatusReport normal = run();
  EXPECT_EQ(normal.health, Health::ok);
  EXPECT_TRUE(normal.changes.empty());
  EXPECT_EQ(state().entries.at(settings).sha256, FileApplier::sha256(v2));
  EXPECT_EQ(appliedCopy(), v2);

  breakAFragment();
  const StatusReport frozen = run();
  EXPECT_EQ(frozen.health, Health::degraded);
  EXPECT_EQ(actions(frozen), std::vector<Action>{});
  EXPECT_EQ(test::readFile(settings), v2);
  EXPECT_EQ(state().entries.at(settings).driftCorrections, 0);
}

INSTANTIATE_TEST_SUITE_P(Passes, ReconcilerUnsavedPassTest,
                         ::testing::Values(Unsaved{"StateSaveFails", false},
                                           Unsaved{"SupportFolderReadOnly", true}),
                         [](const auto& param) { return std::string(param.param.name); });

// A frozen harness's 0600 output, deleted, comes back 0600: the mode it was last written with,
// not the catalog's default. Its applied copy may hold opened secrets.
TEST_F(ReconcilerRecordsTest, ADeletedOutputOfAFrozenHarnessKeepsItsMode) {
  installCatalog(settings, "0600");
  writeFragment("secret");
  ASSERT_EQ(run().health, Health::ok);
  std::filesystem::remove(settings);
  breakAFragment();
  const StatusReport frozen = run();
  EXPECT_EQ(actions(frozen), std::vector<Action>{Action::driftCorrected});
  struct stat info {};
  ASSERT_EQ(stat(settings.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(actions(run()), std::vector<Action>{});  // and stays so
}

// One file, spelled two ways by the catalog over time, has one state entry and one backup: the
// user's own file comes back when the output is finally released.
class ReconcilerSpellingTest : public ReconcilerRecordsTest,
                               public ::testing::WithParamInterface<const char*> {};

TEST_P(ReconcilerSpellingTest, OneFileOneEntryOneBackup) {
  const std::string spelled = out + GetParam();
  tree.write("out/alpha/settings.json", "the user's own\n", 0640);
  writeFragment("v1");

  installCatalog(spelled);
  StatusReport report = run();
  EXPECT_EQ(actions(report), std::vector<Action>{Action::updated});
  ASSERT_EQ(state().entries.size(), 1u);
  const std::string policy = test::readFile(settings);

  for (const std::string& path : {settings, spelled}) {
    installCatalog(path);
    report = run();
    EXPECT_EQ(report.health, Health::ok) << path;
    EXPECT_EQ(actions(report), std::vector<Action>{}) << path;
    EXPECT_EQ(test::readFile(settings), policy) << path;
    EXPECT_EQ(state().entries.size(), 1u) << path;
    EXPECT_EQ(state().entries.begin()->first, settings) << path;
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(support + "/backups"),
                          std::filesystem::directory_iterator()),
            1);

  std::filesystem::remove(prefs + "/com.zelkorandin.tavra.policy.team.plist");
  report = run();
  EXPECT_EQ(actions(report), std::vector<Action>{Action::restoredBackup});
  EXPECT_EQ(test::readFile(settings), "the user's own\n");
  EXPECT_TRUE(state().entries.empty());
  EXPECT_TRUE(std::filesystem::is_empty(support + "/backups"));
}

INSTANTIATE_TEST_SUITE_P(Spellings, ReconcilerSpellingTest,
                         ::testing::Values("//alpha/settings.json", "/alpha//settings.json",
                                           "/alpha/settings.json/", "//alpha///settings.json//"),
                         [](const auto& param) {
                           switch (param.index) {
                             case 0:
                               return std::string("DoubledSlashBeforeTheFolder");
                             case 1:
                               return std::string("DoubledSlashBeforeTheName");
                             case 2:
                               return std::string("TrailingSlash");
                             default:
                               return std::string("AllOfThem");
                           }
                         });

}  // namespace
}  // namespace tavra
