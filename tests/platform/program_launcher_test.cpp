#include "tavra/platform/program_launcher.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "support/temp_tree.h"

namespace tavra::platform {
namespace {

TEST(SystemProgramLauncherTest, RunsTheProgramWithItsArgumentsAndWaitsForIt) {
  const test::TempTree tree;
  const std::string mark = tree.path("mark");
  const auto status = SystemProgramLauncher().run(
      "/bin/sh",
      {"-c", "sleep 0.2; printf '%s|%s' \"$0\" \"$1\" > \"$2\"; exit 3", "one two", "three", mark});
  ASSERT_TRUE(status);
  ASSERT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 3);
  // It had ended, file written, when run() returned.
  EXPECT_EQ(test::readFile(mark), "one two|three");
}

TEST(SystemProgramLauncherTest, TheProgramInheritsTheEnvironmentAndTheWorkingFolder) {
  const test::TempTree tree;
  ASSERT_EQ(setenv("TAVRA_LAUNCHER_TEST", "inherited", 1), 0);
  const auto status = SystemProgramLauncher().run(
      "/bin/sh", {"-c", "test \"$TAVRA_LAUNCHER_TEST\" = inherited && test \"$(pwd -P)\" = \"$0\"",
                  std::filesystem::current_path().string()});
  unsetenv("TAVRA_LAUNCHER_TEST");
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
}

TEST(SystemProgramLauncherTest, AProgramThatCannotStartGivesNoStatus) {
  const test::TempTree tree;
  const std::string plain = tree.write("not-a-program", "just text\n");
  for (const std::string& path : {tree.path("missing"), plain, std::string("relative/sh")}) {
    EXPECT_EQ(SystemProgramLauncher().run(path, {}), std::nullopt) << path;
  }
}

}  // namespace
}  // namespace tavra::platform
