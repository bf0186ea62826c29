// `apply`: the root check first, then either a signal to every tavrad or one pass in-process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include "fake_context.h"
#include "support/other_user.h"
#include "support/temp_tree.h"
#include "tool_process.h"

namespace tavra::test {
namespace {

const std::string notRoot =
    "Error: must be run as root (sudo)\n"
    "Usage: tavractl apply [--local]\n"
    "  See 'tavractl apply --help' for more information.\n";

TEST(ApplyTest, ANonRootUserIsRefusedBeforeAnythingIsLookedAt) {
  FakeContext fake;
  fake.uid = 501;
  fake.context.processTable = []() -> std::vector<Discovery::RunningProcess> {
    ADD_FAILURE() << "the process table was read";
    return {};
  };
  for (const auto& words : std::vector<std::vector<std::string>>{{"apply"}, {"apply", "--local"}}) {
    ToolResult result = fake.run(words);
    EXPECT_EQ(result.status, 64);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors, notRoot);
  }
  EXPECT_TRUE(fake.signals.empty());
}

TEST(ApplyTest, EveryProcessNamedExactlyTavradGetsAHangup) {
  FakeContext fake;
  fake.processes = {
      {10, "root", "/usr/local/bin/tavrad"},  {11, "root", "/usr/local/bin/tavrad-old"},
      {12, "root", "/usr/local/bin/Tavrad"},  {13, "root", "/opt/tavra/tavrad"},
      {14, "root", "/usr/local/bin/tavradx"}, {15, "?", "tavrad"},
      {16, "root", "/tavrad/sleep"}};
  ToolResult result = fake.run({"apply"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, "Signalled tavrad; see `tavractl status` in a few seconds.\n");
  EXPECT_EQ(fake.signals,
            (std::vector<FakeContext::Signal>{{10, SIGHUP}, {13, SIGHUP}, {15, SIGHUP}}));
}

TEST(ApplyTest, NoDaemonRunning) {
  FakeContext fake;
  fake.processes = {{11, "root", "/usr/local/bin/tavrad-old"}};
  ToolResult result = fake.run({"apply"});
  EXPECT_EQ(result.status, 64);
  EXPECT_EQ(result.errors.substr(0, result.errors.find('\n')),
            "Error: tavrad is not running (use --local to apply once)");
  EXPECT_TRUE(fake.signals.empty());
}

TEST(ApplyTest, LocalRunsOnePassAndPrintsItsSummaryChangesAndErrors) {
  FakeContext fake;
  fake.context.localPass = [] {
    StatusReport report;
    report.health = StatusReport::Health::error;
    report.harnesses = {{"codex", StatusReport::HarnessState::managed, {}, {}, {}, {}}};
    report.changes = {{"/private/etc/codex/config.toml", "codex", FileApplier::Action::created},
                      {"/x/y.json", "codex", FileApplier::Action::restoredBackup}};
    report.errors = {"/z: io: cannot write /z: Permission denied"};
    return report;
  };
  fake.context.processTable = []() -> std::vector<Discovery::RunningProcess> {
    ADD_FAILURE() << "the daemon was looked for";
    return {};
  };
  ToolResult result = fake.run({"apply", "--local"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output,
            "error; catalog none; managed: codex\n"
            "  created: /private/etc/codex/config.toml\n"
            "  restoredBackup: /x/y.json\n"
            "\u2717 /z: io: cannot write /z: Permission denied\n");
}

// The built program as user 65534.
TEST(ApplyProgramTest, AsAnOrdinaryUserItFailsWithTheRootMessage) {
  OtherUser user;
  if (user.unavailable()) GTEST_SKIP() << *user.unavailable();
  const std::string tool = user.copy(tavractlPath, "tavractl");
  for (const std::string local : {"", "--local"}) {
    std::vector<std::string> argv = {tool, "apply"};
    if (!local.empty()) argv.push_back(local);
    ProcessResult result = user.run(argv);
    EXPECT_EQ(result.status, 64);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors, notRoot);
  }
}

// The built program against the real process table, inside a process-id namespace of its own so
// that no daemon of anyone else on this machine is signalled: only the stand-in named tavrad
// gets the hangup; tavrad-old and Tavrad keep running.
TEST(ApplyProgramTest, SignalsOnlyAStandInNamedExactlyTavrad) {
  if (geteuid() != 0 || !hasProgram("unshare")) GTEST_SKIP() << "needs root and unshare";
  TempTree tree;
  for (const std::string name : {"tavrad", "tavrad-old", "Tavrad"}) {
    std::filesystem::copy_file("/bin/sleep", tree.path(name));
    ::chmod(tree.path(name).c_str(), 0755);
  }
  const std::string script = R"SH(
set -u
d=$1 tool=$2
"$d/tavrad" 600 & a=$!
"$d/tavrad-old" 600 & b=$!
"$d/Tavrad" 600 & c=$!
# Each child is a forked shell until it executes its stand-in.
for pid in $a $b $c; do
  n=0
  until readlink "/proc/$pid/exe" | grep -q "^$d/"; do n=$((n + 1)); [ $n -lt 100000 ] || exit 90; done
done
"$tool" apply
echo "apply=$?"
wait $a; echo "tavrad=$?"
kill -0 $b && echo "tavrad-old running"
kill -0 $c && echo "Tavrad running"
kill $b $c
)SH";
  ProcessResult result = runProcess({"unshare", "--pid", "--fork", "--mount-proc", "sh", "-c",
                                     script, "sh", tree.root(), tavractlPath});
  EXPECT_EQ(result.output,
            "Signalled tavrad; see `tavractl status` in a few seconds.\n"
            "apply=0\n"
            "tavrad=129\n"
            "tavrad-old running\n"
            "Tavrad running\n")
      << result.errors;
}

}  // namespace
}  // namespace tavra::test
