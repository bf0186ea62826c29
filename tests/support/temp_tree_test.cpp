// The scratch trees of the tests: where another user can reach them, and what a death test's
// child leaves.
#include "support/temp_tree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "support/other_user.h"

namespace tavra::test {
namespace {

mode_t modeOf(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

// What the user is given it can read and run, whatever the umask, and its own folder is its.
TEST(OtherUserTest, ReachesWhatItIsGiven) {
  OtherUser user;
  if (user.unavailable()) GTEST_SKIP() << *user.unavailable();
  TempTree inputs;
  inputs.write("in/deeper/secret.txt", "for the user\n", 0600);
  const mode_t umaskBefore = ::umask(077);
  const std::string copied = user.copy(inputs.path("in"), "inputs/in");
  const std::string cat = user.copy("/bin/cat", "bin/cat");
  const std::string mine = user.ownFolder("work/mine");
  ::umask(umaskBefore);
  EXPECT_EQ(modeOf(copied + "/deeper/secret.txt"), 0644u);
  EXPECT_EQ(modeOf(copied + "/deeper"), 0755u);
  EXPECT_EQ(modeOf(user.tree().path("inputs")), 0755u);
  EXPECT_EQ(modeOf(cat), 0755u);

  ProcessResult read = user.run({cat, copied + "/deeper/secret.txt"});
  EXPECT_EQ(read.status, 0) << read.errors;
  EXPECT_EQ(read.output, "for the user\n");
  ProcessResult written = user.run({"sh", "-c", "id -u > work/mine/id"});
  EXPECT_EQ(written.status, 0) << written.errors;
  EXPECT_EQ(readFile(mine + "/id"), "65534\n");
}

// The same from a working directory below a folder no other user may enter, as in a checkout in
// root's home: the user's tree lies elsewhere.
TEST(OtherUserTest, ReachesWhatItIsGivenFromBelowAPrivateFolder) {
  if (OtherUser user; user.unavailable()) GTEST_SKIP() << *user.unavailable();
  TempTree outer;
  ASSERT_EQ(::chmod(outer.root().c_str(), 0700), 0);
  const std::string below = outer.mkdir("private/tests");
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  ProcessResult result = runProcess({"env", "-u", "TAVRA_TEST_TMPDIR", "-C", below, self,
                                     "--gtest_filter=OtherUserTest.ReachesWhatItIsGiven"});
  EXPECT_EQ(result.status, 0) << result.output << result.errors;
  EXPECT_NE(result.output.find("[  PASSED  ] 1 test."), std::string::npos) << result.output;
  EXPECT_EQ(result.output.find("SKIPPED"), std::string::npos) << result.output;
  EXPECT_TRUE(std::filesystem::is_empty(below)) << "nothing was made below the private folder";
}

// A death test's child runs the test again from its start and dies without tearing it down: the
// trees it made go with the test's own.
TEST(TempTreeTest, TheTreesOfADeathTestsChildGoWithTheTestsOwn) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string childRoot;
  {
    TempTree tree;
    EXPECT_DEATH(
        {
          TempTree inChild;
          std::fprintf(stderr, "tree %s\n", inChild.root().c_str());
          std::abort();
        },
        ::testing::Truly([&](const std::string& errors) {
          const std::size_t start = errors.find("tree ");
          if (start == std::string::npos) return false;
          childRoot = errors.substr(start + 5, errors.find('\n', start) - start - 5);
          return true;
        }));
    ASSERT_FALSE(childRoot.empty());
    EXPECT_TRUE(exists(childRoot)) << "the child died with its tree in place";
  }
  EXPECT_FALSE(exists(childRoot)) << childRoot;
}

}  // namespace
}  // namespace tavra::test
