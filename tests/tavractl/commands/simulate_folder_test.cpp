// The output folder of `simulate`: its path and how a report made there is rewritten.
#include "commands/simulate_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>

#include "errors.h"

#include "support/temp_tree.h"

#include "support/services.h"
#include "support/thrown.h"

namespace tavra::test {
namespace {

using namespace ctl;

TEST(SimulateFolderTest, OutputFolderIsAbsoluteAndNormalised) {
  const std::string cwd = std::filesystem::current_path().string();
  EXPECT_EQ(outputFolder(*test::files(), "sim"), cwd + "/sim");
  EXPECT_EQ(outputFolder(*test::files(), "sim/"), cwd + "/sim");
  EXPECT_EQ(outputFolder(*test::files(), "./a/../sim//"), cwd + "/sim");
  EXPECT_EQ(outputFolder(*test::files(), "/tmp/sim/"), "/tmp/sim");
  EXPECT_EQ(outputFolder(*test::files(), "/tmp/./x/../sim"), "/tmp/sim");
  EXPECT_EQ(outputFolder(*test::files(), "/"), "/");
  EXPECT_EQ(outputFolder(*test::files(), "/.."), "/");
  EXPECT_EQ(below("/tmp/sim", "/etc/x"), "/tmp/sim/etc/x");
  EXPECT_EQ(below("/", "/etc/x"), "/etc/x");
}

// Who may have made the folders on the way to the output folder and below it: root or a user
// given, and nobody else may write there, except in a sticky folder above the output folder.
TEST(SimulateFolderTest, AFolderIsUsedOnlyWhenNobodyElseCanWriteOnTheWay) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: the folders are given to another owner";
  struct Case {
    std::string name;
    std::function<void(const TempTree&)> prepare;
    std::vector<uid_t> users;
    std::string refused;  // relative to the tree; empty when the folder is used
  };
  const auto chmodAt = [](const TempTree& tree, const std::string& path, mode_t mode) {
    std::filesystem::create_directories(tree.path(path));
    ::chmod(tree.path(path).c_str(), mode);
  };
  const auto chownAt = [](const TempTree& tree, const std::string& path) {
    std::filesystem::create_directories(tree.path(path));
    ::chown(tree.path(path).c_str(), 65534, 65534);
  };
  const std::vector<Case> cases = {
      {"Fresh", [](const TempTree&) {}, {}, ""},
      {"StickyParent", [&](const TempTree& t) { chmodAt(t, "p", 01777); }, {}, ""},
      {"GroupWritableParent", [&](const TempTree& t) { chmodAt(t, "p", 0775); }, {}, "p"},
      {"StickyOutputFolder", [&](const TempTree& t) { chmodAt(t, "p/sim", 01777); }, {}, "p/sim"},
      {"AnotherUsersParent", [&](const TempTree& t) { chownAt(t, "p"); }, {}, "p"},
      {"TheRunningUsersParent", [&](const TempTree& t) { chownAt(t, "p"); }, {65534}, ""},
      {"AnotherUsersCatalogFolder",
       [&](const TempTree& t) { chownAt(t, "p/sim/Library/Application Support/Tavra/catalog"); },
       {},
       "p/sim/Library/Application Support/Tavra/catalog"},
      {"PreferencesWritableByAll",
       [&](const TempTree& t) { chmodAt(t, "p/sim/Library/Managed Preferences", 0757); },
       {},
       "p/sim/Library/Managed Preferences"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempTree tree;
    c.prepare(tree);
    const std::string folder = tree.path("p/sim");
    if (!c.refused.empty()) {
      const std::string refusal = thrownText<ValidationError>(
          [&] { openSimulationFolder(test::files(), folder, "x", c.users); });
      EXPECT_TRUE(refusal.starts_with("--out x: " + tree.path(c.refused) + " ")) << refusal;
      continue;
    }
    const std::shared_ptr<const FileSystem> inside =
        openSimulationFolder(test::files(), folder, "x", c.users);
    EXPECT_TRUE(std::filesystem::is_directory(folder + "/Library/Managed Preferences"));
    inside->writeAtomically(folder + "/Library/file", "x", {});
    EXPECT_TRUE(exists(folder + "/Library/file"));
    EXPECT_THROW(inside->writeAtomically(tree.path("p/outside"), "x", {}), fs::WriteError);
  }
}

TEST(SimulateFolderTest, TheRootIsKnownByItsTextAndThroughLinks) {
  TempTree tree;
  std::filesystem::create_directory_symlink("/", tree.path("root"));
  EXPECT_TRUE(isFileSystemRoot(*test::files(), "/"));
  EXPECT_TRUE(isFileSystemRoot(*test::files(), tree.path("root")));
  EXPECT_FALSE(isFileSystemRoot(*test::files(), tree.root()));
  EXPECT_FALSE(isFileSystemRoot(*test::files(), tree.path("not yet")));
}

TEST(SimulateFolderTest, ReportOfAFolderUnderTmpReadsAsOnAMac) {
  StatusReport report;
  report.harnesses = {{"codex",
                       StatusReport::HarnessState::managed,
                       {},
                       {"/tmp/sim/etc/codex/requirements.toml", "/tmp/sim2/etc/x", "/other/y"},
                       {"kept /tmp/sim/warning"},
                       {"kept /tmp/sim/error"}}};
  report.changes = {
      {"/private/tmp/sim/etc/codex/requirements.toml", "codex", FileApplier::Action::created},
      {"/tmp/sim/Library/x.json", "codex", FileApplier::Action::updated},
      {"/private/tmp/sim", "codex", FileApplier::Action::removed}};
  report.errors = {
      "/private/tmp/sim/etc/a: io: cannot write /private/tmp/sim/etc/a: Permission denied",
      "/tmp/sim/etc/b: path not allowed: /tmp/sim/etc/b", "/tmp/sim2/c and /tmp/sim: end"};
  report.fragmentErrors = {{"d", "/tmp/sim/x"}};

  rewriteForMac(report, "/tmp/sim");
  EXPECT_EQ(report.harnesses[0].outputs, (std::vector<std::string>{"/etc/codex/requirements.toml",
                                                                   "/tmp/sim2/etc/x", "/other/y"}));
  EXPECT_EQ(report.harnesses[0].warnings, std::vector<std::string>{"kept /tmp/sim/warning"});
  EXPECT_EQ(report.harnesses[0].errors, std::vector<std::string>{"kept /tmp/sim/error"});
  EXPECT_EQ(report.changes[0].path, "/etc/codex/requirements.toml");
  EXPECT_EQ(report.changes[1].path, "/Library/x.json");
  EXPECT_EQ(report.changes[2].path, "/private/tmp/sim");
  EXPECT_EQ(report.errors, (std::vector<std::string>{
                               "/etc/a: io: cannot write /etc/a: Permission denied",
                               "/etc/b: path not allowed: /etc/b", "/tmp/sim2/c and : end"}));
  EXPECT_EQ(report.fragmentErrors.at("d"), "/tmp/sim/x");
}

TEST(SimulateFolderTest, FragmentFileNames) {
  EXPECT_EQ(fragmentFileName("com.zelkorandin.tavra.policy.team"),
            "com.zelkorandin.tavra.policy.team.plist");
  for (const std::string& bad : {std::string(""), std::string("."), std::string(".."),
                                 std::string("a/b"), std::string("a\0b", 3)}) {
    EXPECT_THROW(fragmentFileName(bad), std::runtime_error);
  }
}

}  // namespace
}  // namespace tavra::test
