// The output folder of `simulate`: its path and how a report made there is rewritten.
#include "simulate_folder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

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
