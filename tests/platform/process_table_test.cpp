#include "tavra/platform/process_table.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "support/child_process.h"
#include "support/temp_tree.h"

namespace tavra::platform {
namespace {

TEST(ProcessTableTest, ListsThisProcessWithItsExecutableAndEffectiveUser) {
  auto table = listProcesses();
  ASSERT_FALSE(table.empty());
  auto self = std::find_if(table.begin(), table.end(), [](const ProcessInfo& p) {
    return p.pid == static_cast<std::int32_t>(getpid());
  });
  ASSERT_NE(self, table.end());
  EXPECT_EQ(self->path, std::filesystem::canonical("/proc/self/exe").string());
  EXPECT_EQ(self->uid, static_cast<std::uint32_t>(geteuid()));
  for (const auto& process : table) {
    EXPECT_GT(process.pid, 0);
    EXPECT_FALSE(process.path.empty());
  }
  EXPECT_LE(table.size(), maxProcesses);
}

// A process whose real and effective users differ is shown as the effective one.
TEST(ProcessTableTest, TheOwnerIsTheEffectiveUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a child under other user ids";
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char byte = 0;
    int ok = setresuid(0, 65534, 0) == 0 ? 1 : 0;
    byte = static_cast<char>(ok);
    (void)!write(ready[1], &byte, 1);
    (void)!read(release[0], &byte, 1);
    _exit(0);
  }
  char started = 0;
  ASSERT_EQ(read(ready[0], &started, 1), 1);
  std::optional<std::uint32_t> uid;
  if (started == 1) {
    for (const auto& process : listProcesses()) {
      if (process.pid == child) uid = process.uid;
    }
  }
  char byte = 0;
  ASSERT_EQ(write(release[1], &byte, 1), 1);
  int status = 0;
  waitpid(child, &status, 0);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
  ASSERT_EQ(started, 1) << "setresuid failed in the child";
  EXPECT_EQ(uid, 65534u);
}

// The path of a process whose executable file was removed while it runs (a program replaced by
// an upgrade) is still the path it was started from; a file whose name really ends in
// " (deleted)" keeps it.
TEST(ProcessTableTest, AnExecutableRemovedWhileItRunsKeepsItsPath) {
  test::TempTree tree;
  const std::string removed = tree.path("tavrad");
  const std::string named = tree.path("odd (deleted)");
  for (const std::string& copy : {removed, named}) {
    std::filesystem::copy_file("/bin/sleep", copy);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
  }
  const auto start = [](const std::string& program) {
    const pid_t child = fork();
    if (child == 0) {
      execl(program.c_str(), program.c_str(), "600", static_cast<char*>(nullptr));
      _exit(127);
    }
    return child;
  };
  const std::string real = std::filesystem::canonical(tree.root()).string();
  // The path once the child runs its program (until then it is a copy of this test).
  const auto pathOf = [&real](pid_t pid) {
    for (int round = 0; round < 100000; ++round) {
      bool listed = false;
      for (const auto& process : listProcesses()) {
        if (process.pid != pid) continue;
        if (process.path.starts_with(real + "/")) return process.path;
        listed = true;
      }
      if (!listed) break;  // ended
    }
    return std::string();
  };
  const pid_t first = start(removed);
  const pid_t second = start(named);
  ASSERT_GT(first, 0);
  ASSERT_GT(second, 0);
  const std::string before = pathOf(first);
  std::filesystem::remove(removed);
  const std::string after = pathOf(first);
  const std::string kept = pathOf(second);
  for (pid_t child : {first, second}) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  EXPECT_EQ(before, real + "/tavrad");
  EXPECT_EQ(after, real + "/tavrad");
  EXPECT_EQ(kept, real + "/odd (deleted)");
}

TEST(ProcessTableTest, AccountNames) {
  EXPECT_EQ(accountName(0), "root");
  EXPECT_EQ(accountName(4'000'000'000u), std::nullopt);
}

// The groups of an account are those the id command reports for it, the primary group first.
TEST(ProcessTableTest, AccountGroupsAreTheOnesIdReports) {
  for (const std::uint32_t uid : {0u, 65534u}) {
    const std::optional<std::string> name = accountName(uid);
    if (!name) continue;
    const std::vector<std::uint32_t> groups = accountGroups(uid);
    const test::ProcessResult primary = test::runProcess({"id", "-g", *name});
    const test::ProcessResult all = test::runProcess({"id", "-G", *name});
    ASSERT_EQ(all.status, 0) << all.errors;
    ASSERT_FALSE(groups.empty()) << *name;
    EXPECT_EQ(std::to_string(groups.front()) + "\n", primary.output) << *name;
    std::vector<std::uint32_t> expected;
    std::istringstream words(all.output);
    for (std::uint32_t group; words >> group;) expected.push_back(group);
    std::vector<std::uint32_t> sorted = groups;
    std::sort(sorted.begin(), sorted.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(sorted, expected) << *name;
    EXPECT_EQ(SystemProcessTable().accountGroups(uid), groups);
  }
  EXPECT_TRUE(accountGroups(4'000'000'000u).empty());
}

}  // namespace
}  // namespace tavra::platform
