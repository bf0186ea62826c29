// The state file is data: the applier reaches only the applied copies and backups it names
// itself, cleans up only folders the allow-list has a part in, and, when asked, releases only
// what the allow-list admits. A state written by someone else steers nothing.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include <gtest/gtest.h>

#include "support/applier_tree.h"
#include "tavra/file_applier.h"

namespace tavra {
namespace {

using Action = FileApplier::Action;
using Change = FileApplier::Change;
using test::exists;
using test::modeOf;
using test::readFile;
namespace stdfs = std::filesystem;

class FileApplierTrustTest : public ::testing::Test {
 protected:
  FileApplierTrustTest() {
    // What a hostile state aims at: files and a folder outside the allowed one.
    t.tree.write("outside/victim", "victim bytes", 0644);
    t.tree.write("outside/secret", "root only", 0600);
    t.tree.write("outside/user-file", "user bytes", 0644);
    t.tree.mkdir("outside/empty");
    t.tree.mkdir("outside/cron.d");
  }

  FileApplier::StateEntry entry(std::string applied, std::optional<std::string> backup = {}) const {
    return {"h",   "o", FileApplier::sha256("x"), std::move(backup), std::move(applied), t.now,
            t.now, 0,   std::uint16_t(0666)};
  }
  std::string outside(const std::string& name) const { return t.tree.path("outside/" + name); }

  // Every entry below "outside" with its type, mode and content.
  std::map<std::string, std::string> snapshot() const {
    std::map<std::string, std::string> entries;
    for (const auto& item : stdfs::recursive_directory_iterator(t.tree.path("outside"))) {
      std::string description = std::to_string(modeOf(item.path()));
      if (item.is_regular_file()) description += " " + readFile(item.path());
      entries[item.path().string()] = description;
    }
    return entries;
  }

  test::ApplierTree t;
};

// Each way a planted entry could make root restore, delete, copy or re-assert a file of its
// choice: the entry is refused under its key, nothing outside changes, and the entry stays as it
// was written.
TEST_F(FileApplierTrustTest, APlantedEntryIsReportedAndNotFollowed) {
  struct Case {
    std::string name;
    std::string key;
    FileApplier::StateEntry planted;
    std::string refused;  // the recorded path the message names
  };
  const std::string leak = t.target("leak");
  const std::string cron = outside("cron.d/x");
  const std::vector<Case> cases = {
      // A backup of the user's restored over a root file, the applied copy a file to delete.
      {"RestoreIntoAVictim", cron, entry(outside("victim"), outside("user-file")),
       outside("victim")},
      // No backup: the release would delete whatever regular file the applied copy names.
      {"RemoveAnyFile", t.target("x"), entry(outside("victim")), outside("victim")},
      // A root-only file named as the backup, restored where the user can read it.
      {"CopyARootOnlyFileOut", leak, entry(t.appliedCopy(leak), outside("secret")),
       outside("secret")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(t.support);
    FileApplier::State state;
    state.entries[c.key] = c.planted;
    t.applier().saveState(state);
    const auto before = snapshot();

    for (bool dryRun : {true, false}) {
      const auto result = t.applier().apply({}, /*unmanage=*/true, dryRun);
      EXPECT_TRUE(result.changes.empty());
      ASSERT_EQ(result.errors.size(), 1u);
      const std::string& error = result.errors.at(c.key);
      EXPECT_TRUE(error.starts_with("io: state entry refused: its ")) << error;
      EXPECT_NE(error.find(" is recorded as " + c.refused + ", not " + t.support + "/"),
                std::string::npos)
          << error;
    }
    EXPECT_EQ(snapshot(), before);
    EXPECT_FALSE(exists(leak));
    EXPECT_EQ(t.applier().loadState().entries.at(c.key), c.planted);

    // The same file desired again fails (refused, or not allowed at all), and the entry is still
    // left as it stands.
    const auto desired =
        t.applier().apply({{c.key, "new", 0644, "h", "o"}}, /*unmanage=*/true, false);
    EXPECT_TRUE(desired.changes.empty());
    ASSERT_EQ(desired.errors.size(), 1u);
    EXPECT_TRUE(desired.errors.contains(c.key));
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(t.applier().loadState().entries.at(c.key), c.planted);
  }
}

// An incomplete pass re-asserts the last applied copies: one that names a root-only file is not
// read, so its bytes never reach a target.
TEST_F(FileApplierTrustTest, APlantedCopyIsNotReasserted) {
  const std::string target = t.target("etc/codex/managed_config.toml");
  FileApplier::State state;
  state.entries[target] = entry(outside("secret"));
  state.entries[t.target("fine")] = entry(t.appliedCopy(t.target("fine")));
  t.applier().saveState(state);
  t.tree.write("support/applied/" + FileApplier::sha256(t.target("fine")), "fine bytes", 0600);

  const auto items = t.applier().lastApplied();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].path, t.target("fine"));
  EXPECT_EQ(items[0].data, "fine bytes");

  const auto result = t.applier().apply(items, /*unmanage=*/false, false);
  EXPECT_TRUE(result.errors.at(target).starts_with("io: state entry refused: "))
      << result.errors.at(target);
  EXPECT_FALSE(exists(target));
  EXPECT_EQ(readFile(t.target("fine")), "fine bytes");
  EXPECT_EQ(t.applier().loadState().entries.at(target), state.entries.at(target));
}

// The recorded names of the applier's own files count in any spelling of one file, and in a state
// from before the keys were normalised they are named after the key as it was stored.
TEST_F(FileApplierTrustTest, ItsOwnNamesCountInEverySpelling) {
  const std::string x = t.target("x.json");
  const std::string stored = t.allowed + "//x.json";
  t.tree.write("allowed/x.json", "ours");
  FileApplier::State state;
  state.entries[stored] = {"h",
                           "o",
                           FileApplier::sha256("ours"),
                           t.support + "//backups/" + FileApplier::sha256(stored) + ".bak",
                           t.support + "/applied/" + FileApplier::sha256(stored),
                           t.now,
                           t.now,
                           0};
  t.applier().saveState(state);
  t.tree.write("support/backups/" + FileApplier::sha256(stored) + ".bak", "theirs", 0640);
  t.tree.write("support/applied/" + FileApplier::sha256(stored), "ours", 0600);

  ASSERT_EQ(t.applier().lastApplied().size(), 1u);
  const auto result = t.applier().apply({}, /*unmanage=*/true, false);
  EXPECT_TRUE(result.errors.empty()) << result.errors.begin()->second;
  EXPECT_EQ(result.changes, (std::vector<Change>{{x, "h", Action::restoredBackup}}));
  EXPECT_EQ(readFile(x), "theirs");
  EXPECT_FALSE(exists(t.support + "/applied/" + FileApplier::sha256(stored)));
  EXPECT_FALSE(exists(t.support + "/backups/" + FileApplier::sha256(stored) + ".bak"));
}

// /tmp/x and /private/tmp/x name one file: a support folder below /tmp recorded in either
// spelling is the applier's own.
TEST_F(FileApplierTrustTest, TmpAndPrivateTmpSpellOneSupportFolder) {
  char pattern[] = "/tmp/tavra-trust.XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string tmp = pattern;
  const std::unique_ptr<const char, std::function<void(const char*)>> removed(
      pattern, [](const char* path) { stdfs::remove_all(path); });
  const FileApplier applier(tmp + "/support", PathPolicy({}, {tmp + "/allowed/"}), false,
                            test::files(), test::clock([this] { return t.now; }));
  const std::string key = "/private" + tmp + "/allowed/x";
  FileApplier::State state;
  state.entries[key] = entry("/private" + tmp + "/support/applied/" + FileApplier::sha256(key));
  applier.saveState(state);
  stdfs::create_directories(tmp + "/allowed");
  test::writeAt(tmp + "/allowed/x", "ours");
  const auto result = applier.apply({}, /*unmanage=*/true, false);
  EXPECT_TRUE(result.errors.empty());
  EXPECT_EQ(result.changes, (std::vector<Change>{{key, "h", Action::removed}}));
  EXPECT_FALSE(exists(tmp + "/allowed/x"));
}

// A release that consults the allow-list leaves a file it refuses, and its entry, alone; without
// it, the applier's own record of a file is released wherever it is.
TEST_F(FileApplierTrustTest, AReleaseCanBeKeptToTheAllowList) {
  const std::string key = outside("victim");
  FileApplier::State state;
  state.entries[key] = entry(t.appliedCopy(key));
  for (const bool onlyAllowed : {true, false}) {
    SCOPED_TRACE(onlyAllowed);
    const FileApplier applier(t.support, PathPolicy({}, {t.allowed + "/"}), false, test::files(),
                              test::clock([this] { return t.now; }), onlyAllowed);
    EXPECT_EQ(applier.releaseOnlyAllowed(), onlyAllowed);
    applier.saveState(state);
    const auto result = applier.apply({}, /*unmanage=*/true, false);
    if (onlyAllowed) {
      EXPECT_EQ(result.errors.at(key), "path not allowed: " + key);
      EXPECT_TRUE(result.changes.empty());
      EXPECT_EQ(readFile(key), "victim bytes");
      EXPECT_EQ(applier.loadState().entries.at(key), state.entries.at(key));
    } else {
      EXPECT_TRUE(result.errors.empty());
      EXPECT_EQ(result.changes, (std::vector<Change>{{key, "h", Action::removed}}));
      EXPECT_FALSE(exists(key));
    }
  }
}

// The clean-up removes only empty folders below an allowed folder or on the way to an allowed
// entry; any other folder the list names is left, and stays listed.
TEST_F(FileApplierTrustTest, TheCleanUpIgnoresFoldersTheAllowListHasNoPartIn) {
  t.tree.mkdir("allowed/made/deeper");
  FileApplier::State state;
  state.createdDirectories = {outside("empty"), t.target("made"), t.target("made/deeper"),
                              t.allowed, t.tree.root()};
  t.applier().saveState(state);
  t.applier().apply({}, /*unmanage=*/true, false);
  EXPECT_TRUE(exists(outside("empty")));
  EXPECT_FALSE(exists(t.target("made")));
  EXPECT_FALSE(exists(t.allowed));  // the allowed folder itself, empty and recorded as made
  EXPECT_TRUE(exists(t.tree.root()));
  EXPECT_EQ(t.applier().loadState().createdDirectories,
            (std::vector<std::string>{outside("empty"), t.tree.root()}));
}

}  // namespace
}  // namespace tavra
