// Discovery in a user's home reports only what that user could read: a hostile user's links to
// root's files give no version, bundle, folder listing or configuration path, even while the
// user swaps them during the run. Root-owned files the user may read are still found. Runs as
// root, with uid 65534 preparing its home.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "support/forked_child.h"
#include "support/services.h"
#include "support/temp_tree.h"
#include "tavra/discovery.h"
#include "tavra/json.h"

namespace tavra::test {
namespace {

using Kind = Discovery::Installation::Kind;

std::string infoPlist(const std::string& bundleID, const std::string& version) {
  return R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>CFBundleIdentifier</key><string>)" +
         bundleID + "</string><key>CFBundleShortVersionString</key><string>" + version +
         "</string></dict></plist>\n";
}

std::string inventoryText(const std::vector<Discovery::HarnessInventory>& inventory) {
  std::string text;
  for (const auto& entry : inventory) text += json::write(toValue(entry)) + "\n";
  return text;
}

// Root's files in a 0700 folder, world-readable root files beside them, and the home of uid
// 65534, which that user fills itself.
class DiscoveryAsTheUserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the home to uid 65534";
    // Root only: an executable with the package.json beside it, a bundle's Info.plist, a
    // folder of bundles and a private key.
    tree.write("private/bin/claude", "#!/bin/sh\n", 0755);
    tree.write("private/package.json", R"({"version": "ROOT-SECRET-1"})", 0600);
    tree.write("private/secret.plist", infoPlist("com.example.claude", "ROOT-SECRET-2"), 0600);
    tree.write("private/apps/Hidden.app/Contents/Info.plist",
               infoPlist("com.example.claude", "ROOT-SECRET-3"));
    tree.write("private/.ssh/id_ed25519", "ROOT-SECRET-4", 0600);
    ASSERT_EQ(chmod(tree.path("private").c_str(), 0700), 0);
    // Root's, readable by all, but for one package.json.
    tree.write("public/bin/pub", "#!/bin/sh\n", 0755);
    tree.write("public/bin/package.json", R"({"version": "ROOT-SECRET-5"})", 0600);
    tree.write("public/package.json", R"({"version": "2.0.0"})", 0644);
    tree.write("public/key", "ROOT-SECRET-6", 0600);

    ASSERT_EQ(chown(home.c_str(), nobody, nobody), 0);
    ASSERT_EQ(chmod(home.c_str(), 0755), 0);
  }

  // Runs `body` in the home as uid 65534.
  void asTheUser(const std::function<int()>& body) {
    const std::optional<std::string> failure = runAsNobodyIn(home, body);
    ASSERT_EQ(failure, std::nullopt) << *failure;
  }

  Discovery discovery() const {
    return Discovery(files(), processTable(), std::vector{user},
                     std::vector<std::string>{home + "/Applications", home + "/More"});
  }

  static Catalog catalog() {
    Harness claude;
    claude.id = "claude";
    claude.displayName = "Claude";
    claude.detect =
        Detection{std::vector<std::string>{"com.example.claude"},
                  std::vector<std::string>{"~/.local/bin/claude", "~/.local/bin/tool", "~/bin/pub",
                                           "~/ok/bin/pub", "~/rel/bin/../bin/tool"},
                  std::nullopt,
                  std::vector<std::string>{"~/.claude/settings.json", "~/.claude/real.json",
                                           "~/.claude/key.json", "~/More/*"}};
    return Catalog{2, "1", {claude}};
  }

  TempTree tree;
  std::string home = tree.mkdir("Users/nobody");
  Discovery::LocalUser user{"nobody", nobody, home};
};

TEST_F(DiscoveryAsTheUserTest, LinksToRootsFilesGiveNothingAndReadableFilesAreStillFound) {
  const std::string root = tree.root();
  asTheUser([&] {
    const auto link = [](const std::string& target, const char* at) {
      return symlink(target.c_str(), at) == 0;
    };
    const auto file = [](const char* at, const std::string& bytes, mode_t mode) {
      const int fd = open(at, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
      const bool written =
          fd >= 0 && write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
      return close(fd) == 0 && written;
    };
    const bool made =
        mkdir(".local", 0755) == 0 && mkdir(".local/bin", 0755) == 0 &&
        link(root + "/private/bin/claude", ".local/bin/claude") &&
        file(".local/bin/tool", "#!/bin/sh\n", 0755) &&
        file(".local/package.json", R"({"version": "1.0.0"})", 0644) && mkdir("bin", 0755) == 0 &&
        link(root + "/public/bin/pub", "bin/pub") && mkdir("Applications", 0755) == 0 &&
        mkdir("Applications/Claude.app", 0755) == 0 &&
        mkdir("Applications/Claude.app/Contents", 0755) == 0 &&
        link(root + "/private/secret.plist", "Applications/Claude.app/Contents/Info.plist") &&
        mkdir("Applications/Mine.app", 0755) == 0 &&
        mkdir("Applications/Mine.app/Contents", 0755) == 0 &&
        file("Applications/Mine.app/Contents/Info.plist", infoPlist("com.example.claude", "3.0"),
             0644) &&
        link(root + "/private/apps", "More") && mkdir(".claude", 0755) == 0 &&
        link(root + "/private/.ssh/id_ed25519", ".claude/settings.json") &&
        file(".claude/real.json", "{}", 0600) &&
        // The user may not read this one, but may see that it is there.
        link(root + "/public/key", ".claude/key.json") &&
        // Links on the way, absolute and relative.
        link(root + "/public", "ok") && link(".local", "rel");
    return made ? 0 : 1;
  });

  const std::vector<Discovery::HarnessInventory> inventory = discovery().run(catalog());
  ASSERT_EQ(inventory.size(), 1u);
  const Discovery::HarnessInventory& entry = inventory.front();
  EXPECT_EQ(entry.installations,
            (std::vector<Discovery::Installation>{
                {home + "/Applications/Mine.app", "nobody", "3.0", Kind::app},
                {home + "/.local/bin/tool", "nobody", "1.0.0", Kind::executable},
                {home + "/bin/pub", "nobody", "2.0.0", Kind::executable},
                {home + "/ok/bin/pub", "nobody", "2.0.0", Kind::executable},
                {home + "/rel/bin/../bin/tool", "nobody", "1.0.0", Kind::executable}}));
  EXPECT_EQ(entry.userConfigs,
            (std::vector<std::string>{home + "/.claude/real.json", home + "/.claude/key.json"}));
  EXPECT_EQ(inventoryText(inventory).find("ROOT-SECRET"), std::string::npos)
      << inventoryText(inventory);
  EXPECT_EQ(discovery().expand("~/More/*"),
            (std::vector<std::pair<std::string, std::optional<std::string>>>{}));

  // The home holds what would show if it were read with root's rights; discovery's own view of
  // the same path is the user's too, since the user's folder decided where it leads: the link is
  // not followed, and the version is that of the user's own package.json beside it.
  EXPECT_EQ(readFile(root + "/private/package.json"), R"({"version": "ROOT-SECRET-1"})");
  EXPECT_EQ(std::filesystem::read_symlink(home + "/.local/bin/claude").string(),
            root + "/private/bin/claude");
  EXPECT_EQ(Discovery::versionOfExecutable(*files(), home + "/.local/bin/claude"), "1.0.0");
}

// Outside the homes discovery looks with root's rights, but a folder another user owns (the
// Homebrew prefix belongs to whoever installed it) holds what that user put there: a link to
// root's files, or a second name of one (a hard link, which a Mac lets anyone make). From that
// folder on, only what its owner could read is reported; what is theirs still is.
TEST_F(DiscoveryAsTheUserTest, AFolderOfAnotherUserOutsideTheHomesIsReadAsThatUser) {
  const std::string root = tree.root();
  const std::string prefix = tree.mkdir("opt/homebrew");
  ASSERT_EQ(chown(prefix.c_str(), nobody, nobody), 0);
  const std::optional<std::string> prepared = runAsNobodyIn(prefix, [&] {
    const auto file = [](const char* at, const std::string& bytes, mode_t mode) {
      const int fd = open(at, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
      const bool written =
          fd >= 0 && write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
      return close(fd) == 0 && written;
    };
    const bool made = mkdir("bin", 0755) == 0 &&
                      symlink((root + "/private/bin/claude").c_str(), "bin/claude") == 0 &&
                      file("bin/mine", "#!/bin/sh\n", 0755) &&
                      file("package.json", R"({"version": "4.0.0"})", 0644) &&
                      mkdir("lib", 0755) == 0 && mkdir("lib/bin", 0755) == 0 &&
                      file("lib/bin/tool", "#!/bin/sh\n", 0755);
    return made ? 0 : 1;
  });
  ASSERT_EQ(prepared, std::nullopt) << *prepared;
  // Made by root here, as this machine lets nobody link a file it cannot write.
  ASSERT_EQ(link((root + "/private/package.json").c_str(), (prefix + "/lib/package.json").c_str()),
            0);

  Harness claude;
  claude.id = "claude";
  claude.displayName = "Claude";
  claude.detect = Detection{std::nullopt,
                            std::vector<std::string>{prefix + "/bin/claude", prefix + "/bin/mine",
                                                     prefix + "/lib/bin/tool"},
                            std::nullopt, std::vector<std::string>{prefix + "/bin/claude"}};
  const std::vector<Discovery::HarnessInventory> inventory =
      Discovery(files(), processTable(), std::vector<Discovery::LocalUser>{},
                std::vector<std::string>{})
          .run(Catalog{2, "1", {claude}});
  ASSERT_EQ(inventory.size(), 1u);
  EXPECT_EQ(inventory.front().installations,
            (std::vector<Discovery::Installation>{
                {prefix + "/bin/mine", std::nullopt, "4.0.0", Kind::executable},
                {prefix + "/lib/bin/tool", std::nullopt, "4.0.0", Kind::executable}}));
  EXPECT_EQ(inventory.front().userConfigs, std::vector<std::string>{});
  EXPECT_EQ(inventoryText(inventory).find("ROOT-SECRET"), std::string::npos)
      << inventoryText(inventory);
}

// A group the user belongs to opens what its group bits allow; other groups do not.
TEST_F(DiscoveryAsTheUserTest, TheUsersGroupsCount) {
  const gid_t theirs = 4242;
  tree.write("grouped/bin/tool", "#!/bin/sh\n", 0755);
  const std::string package = tree.write("grouped/package.json", R"({"version": "4.2.0"})", 0640);
  ASSERT_EQ(chown(package.c_str(), 0, theirs), 0);
  asTheUser(
      [&] { return symlink((tree.root() + "/grouped/bin/tool").c_str(), "tool") == 0 ? 0 : 1; });
  Harness tool;
  tool.id = "tool";
  tool.detect = Detection{std::nullopt, std::vector<std::string>{"~/tool"}};
  for (const auto& [groups, version] :
       std::vector<std::pair<std::vector<std::uint32_t>, std::optional<std::string>>>{
           {{nobody, theirs}, "4.2.0"}, {{nobody}, std::nullopt}, {{}, std::nullopt}}) {
    const Discovery d(files(), processTable({}, {{nobody, groups}}), std::vector{user},
                      std::vector<std::string>{});
    const auto inventory = d.run({2, "1", {tool}});
    ASSERT_EQ(inventory.size(), 1u);
    ASSERT_EQ(inventory[0].installations.size(), 1u);
    EXPECT_EQ(inventory[0].installations[0].version, version) << groups.size();
  }
}

// The user swaps links between a file of theirs and root's while discovery runs again and again:
// what is read is what was checked, so root's secrets never show.
TEST_F(DiscoveryAsTheUserTest, SwappingLinksDuringTheRunNeverShowsRootsFiles) {
  tree.write("public/ok/bin/tool", "#!/bin/sh\n", 0755);
  tree.write("public/ok/package.json", R"({"version": "1.0.0"})", 0644);
  tree.write("public/ok/Tool.app/Contents/Info.plist", infoPlist("com.example.claude", "1.0"));
  const std::string root = tree.root();
  asTheUser([&] {
    const bool made = mkdir(".local", 0755) == 0 && mkdir(".local/bin", 0755) == 0 &&
                      mkdir(".claude", 0755) == 0 && mkdir("Applications", 0755) == 0;
    return made ? 0 : 1;
  });
  // Each pair of links is exchanged in one step, over and over, for a bounded time.
  ForkedChild swapper([&](int) {
    if (chdir(home.c_str()) != 0 || setgroups(0, nullptr) != 0 || setgid(nobody) != 0 ||
        setuid(nobody) != 0) {
      return 2;
    }
    const std::vector<std::tuple<std::string, std::string, std::string>> pairs = {
        {".local/bin/claude", root + "/public/ok/bin/tool", root + "/private/bin/claude"},
        {".claude/settings.json", root + "/public/ok/package.json",
         root + "/private/.ssh/id_ed25519"},
        {"Applications/Tool.app", root + "/public/ok/Tool.app", root + "/private/apps/Hidden.app"},
        {"More", root + "/public/ok", root + "/private/apps"}};
    for (const auto& [at, mine, roots] : pairs) {
      if (symlink(mine.c_str(), at.c_str()) != 0 ||
          symlink(roots.c_str(), (at + ".other").c_str()) != 0) {
        return 3;
      }
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
      for (const auto& [at, mine, roots] : pairs) {
        syscall(SYS_renameat2, AT_FDCWD, at.c_str(), AT_FDCWD, (at + ".other").c_str(),
                RENAME_EXCHANGE);
      }
    }
    return 0;
  });
  const Discovery d = discovery();
  std::size_t found = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (int run = 0; run < 400 && std::chrono::steady_clock::now() < end; ++run) {
    const std::string text = inventoryText(d.run(catalog()));
    ASSERT_EQ(text.find("ROOT-SECRET"), std::string::npos) << text;
    ASSERT_EQ(text.find("Hidden.app"), std::string::npos) << text;
    if (text.find("1.0.0") != std::string::npos) ++found;
  }
  swapper.kill(SIGKILL);
  swapper.wait();
  EXPECT_GT(found, 0u) << "the user's own files were never seen";
}

}  // namespace
}  // namespace tavra::test
