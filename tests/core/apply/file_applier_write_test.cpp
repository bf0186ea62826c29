#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>

#include <gtest/gtest.h>

#include "support/applier_tree.h"
#include "support/forked_child.h"
#include "tavra/error.h"
#include "tavra/file_applier.h"

namespace tavra {
namespace {

using test::exists;
using test::modeOf;
using test::readFile;

// Names in `directory` that look like the applier's temporary files.
std::vector<std::string> temporaries(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(".tavra-")) names.push_back(name);
  }
  return names;
}

std::string ioMessage(const std::function<void()>& write) {
  try {
    write();
  } catch (const TavraError& error) {
    EXPECT_EQ(error.kind(), TavraError::Case::io);
    return error.description();
  }
  return "no error";
}

class AtomicWriteTest : public ::testing::Test {
 protected:
  test::ApplierTree t;
  FileApplier applier = t.applier();
};

TEST_F(AtomicWriteTest, GivesExactlyTheModeWhateverTheMask) {
  const mode_t old = umask(077);
  applier.writeAtomically("data", t.target("x"), 0644);
  applier.writeAtomically("data", t.target("y"), 04711);
  umask(old);
  EXPECT_EQ(readFile(t.target("x")), "data");
  EXPECT_EQ(modeOf(t.target("x")), 0644u);
  EXPECT_EQ(modeOf(t.target("y")), 04711u);
  if (geteuid() == 0) {
    EXPECT_EQ(test::ownerOf(t.target("x")), 0u);
  }
  EXPECT_TRUE(temporaries(t.allowed).empty());
}

TEST_F(AtomicWriteTest, ReplacesALinkItselfAndNeverItsTarget) {
  const std::string outside = t.tree.write("outside/file", "keep", 0644);
  ASSERT_EQ(symlink(outside.c_str(), t.target("link").c_str()), 0);
  applier.writeAtomically("new", t.target("link"), 0600);
  EXPECT_EQ(readFile(outside), "keep");
  EXPECT_EQ(modeOf(outside), 0644u);
  EXPECT_EQ(readFile(t.target("link")), "new");
  EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(t.target("link"))));
}

TEST_F(AtomicWriteTest, TemporaryThatCannotBeCreatedLeavesNothing) {
  const std::string missing = t.target("missing/x");
  const std::regex expected(
      "io: cannot create " + t.allowed +
      "/missing/\\.tavra-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-"
      "[0-9A-F]{12}: No such file or directory");
  const std::string message = ioMessage([&] { applier.writeAtomically("x", missing, 0644); });
  EXPECT_TRUE(std::regex_match(message, expected)) << message;
  EXPECT_FALSE(exists(t.target("missing")));
}

TEST_F(AtomicWriteTest, LeftoverTemporaryNamesDoNotCollide) {
  for (int i = 0; i < 5; ++i) t.tree.write("allowed/.tavra-leftover-" + std::to_string(i), "old");
  applier.writeAtomically("fresh", t.target("x"), 0644);
  EXPECT_EQ(readFile(t.target("x")), "fresh");
  EXPECT_EQ(temporaries(t.allowed).size(), 5u);
}

TEST_F(AtomicWriteTest, FailedRenameRemovesTheTemporaryAndLeavesTheTarget) {
  t.tree.write("allowed/dir/inner", "inner");
  EXPECT_EQ(ioMessage([&] { applier.writeAtomically("x", t.target("dir"), 0644); }),
            "io: cannot write " + t.target("dir") + ": Is a directory");
  EXPECT_EQ(readFile(t.target("dir/inner")), "inner");
  EXPECT_TRUE(temporaries(t.allowed).empty());
}

// As root the refusal needs another identity, so the write runs in a child that drops to
// nobody; it works from its current directory so that no parent folder needs to be searchable.
TEST_F(AtomicWriteTest, RefusedOwnershipChangeFailsAndLeavesTheTarget) {
  const std::string folder = t.tree.mkdir("nobody");
  t.tree.write("nobody/config", "old", 0644);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown(t.tree.path("nobody/config").c_str(), 65534, 65534), 0);
  }
  test::ForkedChild child([&](int report) {
    if (chdir(folder.c_str()) != 0) return 2;
    if (geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
      return 3;
    }
    const FileApplier asNobody(".", PathPolicy({}, {}), true, test::files(),
                               std::make_shared<SystemClock>());
    test::writeReport(report, ioMessage([&] { asNobody.writeAtomically("new", "config", 0644); }));
    return 0;
  });
  const auto message = child.readToEnd(std::chrono::seconds(60));
  EXPECT_EQ(WEXITSTATUS(child.wait()), 0);
  EXPECT_EQ(message, "io: cannot write config: Operation not permitted");
  EXPECT_EQ(readFile(t.tree.path("nobody/config")), "old");
  EXPECT_TRUE(temporaries(folder).empty());
}

// A full disk: a small tmpfs mounted in a private mount namespace of a child process, so the
// machine's own mounts never see it. Needs root (CAP_SYS_ADMIN).
TEST_F(AtomicWriteTest, FullDiskFailsWithoutAPartialFile) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a tmpfs in a private mount namespace";
  const std::string disk = t.tree.mkdir("disk");
  test::ForkedChild child([&](int report) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tavra-test", disk.c_str(), "tmpfs", 0, "size=256k,mode=0755") != 0) {
      test::writeReport(report, std::string("SKIP ") + std::strerror(errno));
      return 0;
    }
    const std::string target = disk + "/out/config.json";
    std::filesystem::create_directories(disk + "/out");
    test::writeAt(target, "old bytes");
    {  // fill the disk
      FILE* filler = std::fopen((disk + "/filler").c_str(), "wb");
      const std::string block(4096, 'f');
      while (filler && std::fwrite(block.data(), 1, block.size(), filler) == block.size() &&
             std::fflush(filler) == 0) {
      }
      if (filler) std::fclose(filler);
    }
    std::string findings;
    const auto expect = [&](bool ok, const std::string& what) {
      if (!ok) findings += what + "\n";
    };
    const FileApplier onDisk(t.support, PathPolicy({}, {disk + "/"}), true, test::files(),
                             std::make_shared<SystemClock>());
    const std::string big(128 * 1024, 'n');
    const std::string message = ioMessage([&] { onDisk.writeAtomically(big, target, 0644); });
    expect(message == "io: cannot write " + target + ": No space left on device",
           "write: " + message);
    expect(readFile(target) == "old bytes", "target changed by the write");
    expect(temporaries(disk + "/out").empty(), "temporary left by the write");

    // The same through apply: the item fails, the old bytes stay, nothing partial is left.
    const auto result = onDisk.apply({{target, big, 0644, "h", "o"}}, false, false);
    expect(result.changes.empty(), "apply reported a change");
    expect(result.errors.count(target) == 1 &&
               result.errors.at(target).starts_with("io: cannot write " + target + ": "),
           "apply error missing");
    expect(readFile(target) == "old bytes", "target changed by apply");
    expect(temporaries(disk + "/out").empty(), "temporary left by apply");
    test::writeReport(report, findings.empty() ? "OK" : findings);
    return 0;
  });
  const auto outcome = child.readToEnd(std::chrono::seconds(60));
  EXPECT_EQ(WEXITSTATUS(child.wait()), 0);
  ASSERT_TRUE(outcome);
  if (outcome->starts_with("SKIP")) {
    GTEST_SKIP() << "cannot mount a tmpfs in a private namespace here: " << *outcome;
  }
  EXPECT_EQ(*outcome, "OK");
}

}  // namespace
}  // namespace tavra
