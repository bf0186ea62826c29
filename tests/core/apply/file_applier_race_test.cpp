// The applier against other processes: a hostile user who keeps swapping parts of a target's
// path while the applier writes as root, and an applier killed at random moments.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "support/applier_tree.h"
#include "support/forked_child.h"
#include "tavra/file_applier.h"

namespace tavra {
namespace {

using Action = FileApplier::Action;
namespace stdfs = std::filesystem;

// Every entry below `root` with its type, mode, owner and content, to see that nothing changed.
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : stdfs::recursive_directory_iterator(root)) {
    struct stat info {};
    lstat(entry.path().c_str(), &info);
    std::string description = std::to_string(info.st_mode) + " " + std::to_string(info.st_uid);
    if (S_ISREG(info.st_mode)) description += " " + test::readFile(entry.path());
    entries[entry.path().string()] = description;
  }
  return entries;
}

// ---- hostile user ----

// The child's side: as uid 65534, inside the allowed folder it owns, swap a directory for a
// link to the outside folder and back, the same for a target file, and replace directories the
// applier is creating with links, until told to stop. Returns the number of swaps.
long hostileLoop(const std::string& outside, int stop) {
  // Leaves a swap in place for a moment, so the applier meets it as often as the original.
  const auto linger = [] {
    for (int i = 0; i < 4; ++i) sched_yield();
  };
  const std::string outsideFile = outside + "/config.json";
  long swaps = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (long round = 0; round < 5'000'000 && std::chrono::steady_clock::now() < deadline; ++round) {
    if (round % 64 == 0) {
      pollfd entry{stop, POLLIN, 0};
      if (poll(&entry, 1, 0) != 0) break;
    }
    switch (round % 3) {
      case 0:  // a parent directory becomes a link to the outside, then comes back
        if (rename("sub", "sub.real") == 0) {
          symlink(outside.c_str(), "sub");
          ++swaps;
          linger();
          unlink("sub");
          rename("sub.real", "sub");
        }
        break;
      case 1: {  // the target becomes a link to a file outside, then the user's own file again
        unlink("config.json");
        if (symlink(outsideFile.c_str(), "config.json") == 0) ++swaps;
        linger();
        unlink("config.json");
        const int own = open("config.json", O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (own >= 0) {
          test::writeReport(own, "user bytes");
          close(own);
        }
        break;
      }
      case 2: {  // a directory the applier creates is moved away and a link put in its place
        const std::string away = "deep.away." + std::to_string(round);
        if (rename("deep", away.c_str()) == 0) {
          symlink(outside.c_str(), "deep");
          ++swaps;
          linger();
          unlink("deep");
        } else if (symlink(outside.c_str(), "deep") == 0) {
          ++swaps;
          linger();
          unlink("deep");
        }
        break;
      }
    }
  }
  return swaps;
}

TEST(FileApplierRaceTest, HostileUserCannotRedirectWritesOutsideTheAllowedFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: the applier must run as root against uid 65534";
  test::TempTree tree;
  const std::string allowed = tree.mkdir("allowed");
  const std::string outside = tree.mkdir("outside");
  tree.write("outside/config.json", "precious", 0644);
  tree.mkdir("outside/keep");
  tree.mkdir("allowed/sub");
  // The user's own files at two targets: taken over with a backup, restored on every release.
  tree.write("allowed/config.json", "user bytes", 0644);
  tree.write("allowed/sub/config.json", "user bytes", 0644);
  for (const char* path :
       {"allowed", "allowed/sub", "allowed/config.json", "allowed/sub/config.json"}) {
    ASSERT_EQ(chown(tree.path(path).c_str(), 65534, 65534), 0);
  }
  chmod(tree.root().c_str(), 0755);
  const auto before = snapshot(outside);

  int stopPipe[2];
  ASSERT_EQ(pipe(stopPipe), 0);
  test::ForkedChild hostile([&](int report) {
    close(stopPipe[1]);
    if (chdir(allowed.c_str()) != 0 || setgroups(0, nullptr) != 0 || setgid(65534) != 0 ||
        setuid(65534) != 0 || getuid() != 65534) {
      return 2;
    }
    test::writeReport(report, "R");
    test::writeReport(report, std::to_string(hostileLoop(outside, stopPipe[0])));
    return 0;
  });
  close(stopPipe[0]);
  ASSERT_EQ(hostile.read(1, std::chrono::seconds(30)), "R");

  const FileApplier applier(tree.path("support"), PathPolicy({}, {allowed + "/"}), true,
                            test::files(), std::make_shared<SystemClock>());
  const std::vector<std::string> targets = {allowed + "/sub/config.json", allowed + "/config.json",
                                            allowed + "/deep/a/b/c.json"};
  int written = 0, refused = 0, readThroughLink = 0;
  for (int pass = 0; pass < 1500; ++pass) {
    std::vector<FileApplier::Desired> desired;
    if (pass % 2 == 0) {  // every other pass releases everything instead
      for (const auto& target : targets) {
        desired.push_back({target, "pass " + std::to_string(pass), 0644, "h", "o"});
      }
    }
    const auto result = applier.apply(desired, true, false);
    written += int(result.changes.size());
    refused += int(result.errors.size());
    // A backup holds what the probe read; it must never be the file a link pointed at.
    if (test::exists(tree.path("support/backups"))) {
      for (const auto& [path, description] : snapshot(tree.path("support/backups"))) {
        if (description.find("precious") != std::string::npos) ++readThroughLink;
      }
    }
  }
  EXPECT_EQ(readThroughLink, 0);
  close(stopPipe[1]);
  const auto swaps = hostile.readToEnd(std::chrono::seconds(60));
  EXPECT_EQ(WEXITSTATUS(hostile.wait()), 0);
  ASSERT_TRUE(swaps && !swaps->empty());
  std::printf("hostile swaps %s, changes %d, refused items %d\n", swaps->c_str(), written, refused);

  EXPECT_GT(std::stol(*swaps), 0);
  EXPECT_GT(written, 0);
  EXPECT_EQ(snapshot(outside), before);  // nothing outside was created or changed
  // Nothing was read through a link either: the outside file's bytes never reached a backup,
  // an applied copy or, by a restore, the hostile user's folder.
  for (const std::string& root : {allowed, tree.path("support")}) {
    for (const auto& [path, description] : snapshot(root)) {
      EXPECT_EQ(description.find("precious"), std::string::npos) << path;
    }
  }
}

// ---- crash safety ----

struct Files {
  std::vector<FileApplier::Desired> a, b;
};

// Two desired sets over the same paths: b has other bytes and leaves the last file out, so a
// pass with b releases it. Files are large enough for a kill to land inside a write.
Files crashFiles(const test::ApplierTree& t) {
  Files files;
  for (int i = 0; i < 5; ++i) {
    const std::string path = t.target("dir" + std::to_string(i % 2) + "/f" + std::to_string(i));
    files.a.push_back({path, std::string(256 * 1024, char('a' + i)), 0644, "h", "o"});
    if (i < 4) files.b.push_back({path, std::string(200 * 1024, char('A' + i)), 0640, "h", "o"});
  }
  return files;
}

// The action the applier must report for one desired item, from what is on disk now.
Action expectedAction(const FileApplier::Desired& d, const FileApplier::State& state) {
  const bool present = test::exists(d.path);
  const std::string hash = present ? FileApplier::sha256(test::readFile(d.path)) : "";
  const mode_t mode = present ? test::modeOf(d.path) : 0;
  const auto found = state.entries.find(d.path);
  if (found == state.entries.end()) return present ? Action::updated : Action::created;
  if (present && hash == FileApplier::sha256(d.data) && mode == d.mode) return Action::unchanged;
  if (present && hash == found->second.sha256 && mode == d.mode) return Action::updated;
  return Action::driftCorrected;
}

TEST(FileApplierRaceTest, KilledAtRandomMomentsEveryFileIsWholeAndTheNextPassConverges) {
  test::ApplierTree t;
  const FileApplier applier = t.applier();
  const Files files = crashFiles(t);
  ASSERT_TRUE(applier.apply(files.a, true, false).errors.empty());

  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delay(0, 40'000);  // microseconds

  for (int kill = 0; kill < 50; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill));
    {
      test::ForkedChild child([&](int report) {
        test::writeReport(report, "R");
        for (int pass = 0; pass < 100000; ++pass) {
          applier.apply(pass % 2 == 0 ? files.b : files.a, true, false);
        }
        return 0;
      });
      ASSERT_EQ(child.read(1, std::chrono::seconds(30)), "R");
      // The random moment of the kill is the point of the test, not a wait for an event.
      std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
      child.kill(SIGKILL);
      const int status = child.wait();
      ASSERT_TRUE(WIFSIGNALED(status));
    }

    // Every target holds one whole version (the released one may also be gone).
    for (std::size_t i = 0; i < files.a.size(); ++i) {
      const std::string& path = files.a[i].path;
      if (!test::exists(path)) {
        EXPECT_EQ(i, files.a.size() - 1) << path << " is missing";
        continue;
      }
      const std::string bytes = test::readFile(path);
      EXPECT_TRUE(bytes == files.a[i].data || (i < files.b.size() && bytes == files.b[i].data))
          << path << " holds " << bytes.size() << " bytes of neither version";
    }
    // state.json is absent or decodes.
    if (test::exists(t.support + "/state.json")) {
      EXPECT_NO_THROW(FileApplier::State::decode(
          FileApplier::decoder(test::readFile(t.support + "/state.json"))));
    }

    // The next pass brings everything back to a, reporting what the disk called for.
    const auto state = applier.loadState();
    std::vector<FileApplier::Change> expected;
    for (const auto& d : files.a) expected.push_back({d.path, "h", expectedAction(d, state)});
    for (const auto& [path, entry] : state.entries) {
      bool wanted = false;
      for (const auto& d : files.a) wanted = wanted || d.path == path;
      if (!wanted) expected.push_back({path, "h", Action::removed});
    }
    const auto result = applier.apply(files.a, true, false);
    EXPECT_TRUE(result.errors.empty());
    EXPECT_EQ(result.changes, expected);
    for (const auto& d : files.a) EXPECT_EQ(test::readFile(d.path), d.data);
    for (const auto& change : applier.apply(files.a, true, false).changes) {
      EXPECT_EQ(change.action, Action::unchanged) << change;
    }
  }
}

}  // namespace
}  // namespace tavra
