// The output folder of `simulate`: its path and how a report made there is rewritten.
#include "simulate_folder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "support/temp_tree.h"

#include "support/services.h"

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

// A folder reached without links passes; one reached through a link does not, also when the
// output folder is the root itself.
TEST(SimulateFolderTest, RequireInsideRefusesOnlyLinks) {
  TempTree tree;
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(tree.root().c_str(), nullptr),
                                                   &std::free);
  ASSERT_TRUE(real);
  const std::string root = real.get();
  tree.mkdir("out/Library/Managed Preferences");
  std::filesystem::create_directory_symlink(root + "/out/Library", root + "/out/link");
  for (const std::string& folder : {root + "/out", std::string("/")}) {
    SCOPED_TRACE(folder);
    EXPECT_NO_THROW(
        requireInside(*test::files(), folder, root + "/out/Library/Managed Preferences"));
    EXPECT_NO_THROW(requireInside(*test::files(), folder, root + "/out/Library/not yet/there"));
    EXPECT_THROW(requireInside(*test::files(), folder, root + "/out/link/Managed Preferences"),
                 std::runtime_error);
    EXPECT_THROW(requireInside(*test::files(), folder, root + "/out/link/not yet"),
                 std::runtime_error);
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
