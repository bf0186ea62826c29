#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "support/applier_tree.h"
#include "tavra/error.h"
#include "tavra/file_applier.h"

namespace tavra {
namespace {

using Action = FileApplier::Action;
using Change = FileApplier::Change;
using test::exists;
using test::modeOf;
using test::ownerOf;
using test::readFile;

class FileApplierApplyTest : public ::testing::Test {
 protected:
  test::ApplierTree t;

  FileApplier::Desired item(std::string_view relative, std::string data, std::uint16_t mode = 0644,
                            std::string harness = "h") const {
    return {t.target(relative), std::move(data), mode, std::move(harness), "out"};
  }
  FileApplier::ApplyResult apply(const std::vector<FileApplier::Desired>& desired,
                                 bool unmanage = false, bool dryRun = false) const {
    return t.applier().apply(desired, unmanage, dryRun);
  }
  FileApplier::StateEntry entry(std::string_view relative) const {
    const auto state = t.applier().loadState();
    const auto found = state.entries.find(t.target(relative));
    if (found == state.entries.end()) throw std::runtime_error("no entry");
    return found->second;
  }
  void later() { t.now += std::chrono::hours(1); }
};

TEST_F(FileApplierApplyTest, CreatesFileParentsAppliedCopyAndState) {
  const auto result = apply({item("a/b/c.json", "{}\n", 0640)});
  const std::string path = t.target("a/b/c.json");
  EXPECT_EQ(result.changes, (std::vector<Change>{{path, "h", Action::created}}));
  EXPECT_TRUE(result.errors.empty());

  EXPECT_EQ(readFile(path), "{}\n");
  EXPECT_EQ(modeOf(path), 0640u);
  EXPECT_EQ(modeOf(t.target("a")), 0755u);
  EXPECT_EQ(modeOf(t.target("a/b")), 0755u);
  EXPECT_EQ(readFile(t.appliedCopy(path)), "{}\n");
  EXPECT_EQ(modeOf(t.appliedCopy(path)), 0600u);
  EXPECT_EQ(modeOf(t.support + "/applied"), 0700u);
  EXPECT_EQ(modeOf(t.support + "/state.json"), 0600u);
  EXPECT_FALSE(exists(t.support + "/backups"));
  if (geteuid() == 0) {
    EXPECT_EQ(ownerOf(path), 0u);
    EXPECT_EQ(ownerOf(t.target("a")), 0u);
  }

  const auto state = t.applier().loadState();
  const FileApplier::StateEntry expected{
      "h", "out", FileApplier::sha256("{}\n"), std::nullopt, t.appliedCopy(path), t.now, t.now,
      0,   0640};
  EXPECT_EQ(state.entries, (std::map<std::string, FileApplier::StateEntry>{{path, expected}}));
  EXPECT_EQ(state.createdDirectories, (std::vector<std::string>{t.target("a"), t.target("a/b")}));
}

TEST_F(FileApplierApplyTest, UnchangedTouchesNothingInRealAndDryRuns) {
  apply({item("x.json", "1")});
  const auto first = entry("x.json");
  later();
  for (const bool dryRun : {false, true}) {
    const auto result = apply({item("x.json", "1")}, false, dryRun);
    EXPECT_EQ(result.changes, (std::vector<Change>{{t.target("x.json"), "h", Action::unchanged}}));
  }
  EXPECT_EQ(entry("x.json"), first);  // lastWritten included
}

TEST_F(FileApplierApplyTest, AdoptsAnExistingFileWithABackup) {
  const std::string path = t.tree.write("allowed/x.json", "theirs", 0640);
  const auto result = apply({item("x.json", "ours")});
  EXPECT_EQ(result.changes, (std::vector<Change>{{path, "h", Action::updated}}));
  EXPECT_EQ(readFile(path), "ours");
  EXPECT_EQ(readFile(t.backup(path)), "theirs");
  EXPECT_EQ(modeOf(t.backup(path)), 0640u);
  EXPECT_EQ(modeOf(t.support + "/backups"), 0700u);
  EXPECT_EQ(entry("x.json").backupPath, t.backup(path));
  EXPECT_EQ(entry("x.json").driftCorrections, 0);
}

TEST_F(FileApplierApplyTest, AdoptsEvenWhenTheFileAlreadyHoldsTheDesiredBytes) {
  const std::string path = t.tree.write("allowed/x.json", "same", 0644);
  EXPECT_EQ(apply({item("x.json", "same")}, false, true).changes,
            (std::vector<Change>{{path, "h", Action::wouldWrite}}));
  EXPECT_FALSE(exists(t.support));
  EXPECT_EQ(apply({item("x.json", "same")}).changes,
            (std::vector<Change>{{path, "h", Action::updated}}));
  EXPECT_EQ(readFile(t.backup(path)), "same");
}

TEST_F(FileApplierApplyTest, AnExistingBackupIsNeverOverwritten) {
  const std::string path = t.tree.write("allowed/x.json", "theirs");
  t.tree.write("support/backups/" + FileApplier::sha256(path) + ".bak", "older backup");
  apply({item("x.json", "ours")});
  EXPECT_EQ(readFile(t.backup(path)), "older backup");
  EXPECT_EQ(entry("x.json").backupPath, t.backup(path));
}

TEST_F(FileApplierApplyTest, BackupOfAnAdoptedFileDropsSetIDBits) {
  const std::string path = t.tree.write("allowed/x", "theirs", 06755);
  apply({item("x", "ours")});
  EXPECT_EQ(modeOf(t.backup(path)), 0755u);
}

TEST_F(FileApplierApplyTest, UpdatesAnUntouchedManagedFile) {
  apply({item("x.json", "v1")});
  const auto before = entry("x.json");
  later();
  EXPECT_EQ(apply({item("x.json", "v2")}).changes,
            (std::vector<Change>{{t.target("x.json"), "h", Action::updated}}));
  const auto after = entry("x.json");
  EXPECT_EQ(readFile(t.target("x.json")), "v2");
  EXPECT_EQ(readFile(t.appliedCopy(t.target("x.json"))), "v2");
  EXPECT_EQ(after.sha256, FileApplier::sha256("v2"));
  EXPECT_EQ(after.managedSince, before.managedSince);
  EXPECT_EQ(after.lastWritten, t.now);
  EXPECT_EQ(after.driftCorrections, 0);
}

TEST_F(FileApplierApplyTest, DriftIsCorrectedAndCounted) {
  struct Case {
    const char* name;
    std::function<void(const std::string&)> tamper;
    std::string desired;
    std::uint16_t mode;
  };
  const Case cases[] = {
      {"edited", [](const std::string& p) { test::overwrite(p, "edited"); }, "v1", 0644},
      {"edited while the desired bytes change",
       [](const std::string& p) { test::overwrite(p, "edited"); }, "v2", 0644},
      {"deleted", [](const std::string& p) { unlink(p.c_str()); }, "v1", 0644},
      {"mode changed", [](const std::string& p) { chmod(p.c_str(), 0600); }, "v1", 0644},
      {"desired mode changed", [](const std::string&) {}, "v1", 0600},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::ApplierTree fresh;
    const FileApplier applier = fresh.applier();
    const std::string path = fresh.target("x.json");
    applier.apply({{path, "v1", 0644, "h", "out"}}, false, false);
    const auto before = applier.loadState().entries.at(path);
    c.tamper(path);
    fresh.now += std::chrono::hours(1);
    const auto result = applier.apply({{path, c.desired, c.mode, "h", "out"}}, false, false);
    EXPECT_EQ(result.changes, (std::vector<Change>{{path, "h", Action::driftCorrected}}));
    EXPECT_EQ(readFile(path), c.desired);
    EXPECT_EQ(modeOf(path), c.mode);
    const auto after = applier.loadState().entries.at(path);
    EXPECT_EQ(after.driftCorrections, 1);
    EXPECT_EQ(after.managedSince, before.managedSince);
    EXPECT_EQ(after.lastWritten, fresh.now);
  }
}

TEST_F(FileApplierApplyTest, AnEditThatProducedTheDesiredBytesIsUnchanged) {
  apply({item("x.json", "v1")});
  test::overwrite(t.target("x.json"), "v2");
  EXPECT_EQ(apply({item("x.json", "v2")}).changes,
            (std::vector<Change>{{t.target("x.json"), "h", Action::unchanged}}));
}

TEST_F(FileApplierApplyTest, NonRootOwnerIsRewrittenAsUpdated) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root (changes a file's owner)";
  apply({item("x.json", "v1")});
  ASSERT_EQ(chown(t.target("x.json").c_str(), 65534, 65534), 0);
  EXPECT_EQ(apply({item("x.json", "v1")}).changes,
            (std::vector<Change>{{t.target("x.json"), "h", Action::updated}}));
  EXPECT_EQ(ownerOf(t.target("x.json")), 0u);
  EXPECT_EQ(entry("x.json").driftCorrections, 0);
  // Without the root-ownership flag the owner does not matter.
  ASSERT_EQ(chown(t.target("x.json").c_str(), 65534, 65534), 0);
  EXPECT_EQ(t.applier(false).apply({item("x.json", "v1")}, false, false).changes,
            (std::vector<Change>{{t.target("x.json"), "h", Action::unchanged}}));
}

TEST_F(FileApplierApplyTest, ReleasesWithAndWithoutBackup) {
  const std::string adopted = t.tree.write("allowed/adopted", "theirs", 0640);
  apply({item("adopted", "ours"), item("new/created", "ours", 0644, "g")});
  const std::string created = t.target("new/created");

  const auto result = apply({}, true);
  EXPECT_TRUE(result.errors.empty());
  EXPECT_EQ(result.changes, (std::vector<Change>{{adopted, "h", Action::restoredBackup},
                                                 {created, "g", Action::removed}}));
  EXPECT_EQ(readFile(adopted), "theirs");
  EXPECT_EQ(modeOf(adopted), 0640u);
  EXPECT_FALSE(exists(t.backup(adopted)));
  EXPECT_FALSE(exists(t.appliedCopy(adopted)));
  EXPECT_FALSE(exists(created));
  EXPECT_FALSE(exists(t.appliedCopy(created)));
  EXPECT_FALSE(exists(t.target("new")));  // emptied created directory removed
  const auto state = t.applier().loadState();
  EXPECT_TRUE(state.entries.empty());
  EXPECT_FALSE(state.createdDirectories);
}

TEST_F(FileApplierApplyTest, ReleaseCopesWithMissingBackupAndMissingAppliedCopy) {
  const std::string a = t.tree.write("allowed/a", "theirs");
  const std::string b = t.tree.write("allowed/b", "theirs");
  apply({item("a", "ours"), item("b", "ours")});
  unlink(t.backup(a).c_str());
  unlink(t.appliedCopy(b).c_str());
  const auto result = apply({}, true);
  EXPECT_EQ(result.changes,
            (std::vector<Change>{{a, "h", Action::removed}, {b, "h", Action::restoredBackup}}));
  EXPECT_FALSE(exists(a));
  EXPECT_EQ(readFile(b), "theirs");
}

// A backup that exists but cannot be read now is no missing backup: deleting the target would
// lose the user's original for good, so the release fails and is tried again by the next pass.
TEST_F(FileApplierApplyTest, ABackupThatCannotBeReadKeepsTheTargetAndTheEntry) {
  const std::string a = t.tree.write("allowed/a", "theirs");
  apply({item("a", "ours")});
  ASSERT_EQ(truncate(t.backup(a).c_str(), FileApplier::maxFileSize + 1), 0);  // sparse
  const auto result = apply({}, true);
  EXPECT_TRUE(result.changes.empty());
  EXPECT_EQ(result.errors.at(a), "io: cannot read " + t.backup(a));
  EXPECT_EQ(readFile(a), "ours");
  EXPECT_TRUE(exists(t.backup(a)));
  EXPECT_EQ(entry("a").backupPath, t.backup(a));
}

TEST_F(FileApplierApplyTest, ReleaseOfAFileAlreadyGoneIsRemoved) {
  apply({item("a", "ours")});
  unlink(t.target("a").c_str());
  EXPECT_EQ(apply({}, true).changes, (std::vector<Change>{{t.target("a"), "h", Action::removed}}));
}

TEST_F(FileApplierApplyTest, ReleaseNeverDeletesALinkOrADirectoryPutInPlace) {
  const std::string outside = t.tree.write("outside/keep", "keep");
  apply({item("link", "ours"), item("dir", "ours")});
  unlink(t.target("link").c_str());
  ASSERT_EQ(symlink(outside.c_str(), t.target("link").c_str()), 0);
  unlink(t.target("dir").c_str());
  t.tree.write("allowed/dir/inner", "inner");
  const auto result = apply({}, true);
  EXPECT_EQ(result.changes, (std::vector<Change>{{t.target("dir"), "h", Action::removed},
                                                 {t.target("link"), "h", Action::removed}}));
  EXPECT_EQ(readFile(outside), "keep");
  EXPECT_EQ(readFile(t.target("dir/inner")), "inner");
  std::error_code ignored;
  EXPECT_TRUE(std::filesystem::is_symlink(t.target("link"), ignored));
}

TEST_F(FileApplierApplyTest, RestoreReplacesALinkButFailsOnADirectory) {
  const std::string outside = t.tree.write("outside/keep", "keep");
  t.tree.write("allowed/link", "theirs");
  t.tree.write("allowed/dir", "theirs");
  apply({item("link", "ours"), item("dir", "ours")});
  unlink(t.target("link").c_str());
  ASSERT_EQ(symlink(outside.c_str(), t.target("link").c_str()), 0);
  unlink(t.target("dir").c_str());
  t.tree.mkdir("allowed/dir");

  const auto result = apply({}, true);
  EXPECT_EQ(result.changes, (std::vector<Change>{{t.target("link"), "h", Action::restoredBackup}}));
  EXPECT_EQ(result.errors.size(), 1u);
  EXPECT_EQ(result.errors.at(t.target("dir")),
            "io: cannot write " + t.target("dir") + ": Is a directory");
  EXPECT_EQ(readFile(t.target("link")), "theirs");
  EXPECT_EQ(readFile(outside), "keep");
  // The failed release keeps its entry, and its backup, for the next pass.
  EXPECT_EQ(t.applier().loadState().entries.count(t.target("dir")), 1u);
  EXPECT_TRUE(exists(t.backup(t.target("dir"))));
}

TEST_F(FileApplierApplyTest, RestoreDropsSetIDBitsOfTheBackup) {
  const std::string path = t.tree.write("allowed/x", "theirs", 0644);
  apply({item("x", "ours")});
  chmod(t.backup(path).c_str(), 04755);
  apply({}, true);
  EXPECT_EQ(readFile(path), "theirs");
  EXPECT_EQ(modeOf(path), 0755u);
}

TEST_F(FileApplierApplyTest, RestoreIntoAMissingFolderFailsAndKeepsTheEntry) {
  t.tree.write("allowed/sub/x", "theirs");
  apply({item("sub/x", "ours")});
  std::filesystem::remove_all(t.target("sub"));
  const auto result = apply({}, true);
  EXPECT_TRUE(result.changes.empty());
  EXPECT_TRUE(result.errors.at(t.target("sub/x"))
                  .starts_with("io: cannot create " + t.target("sub") + "/.tavra-"));
  EXPECT_TRUE(result.errors.at(t.target("sub/x")).ends_with(": No such file or directory"));
}

TEST_F(FileApplierApplyTest, CreatedDirectoriesGoLongestFirstAndOnlyWhenEmpty) {
  apply({item("a/b/c/f", "1")});
  EXPECT_EQ(t.applier().loadState().createdDirectories,
            (std::vector<std::string>{t.target("a"), t.target("a/b"), t.target("a/b/c")}));
  t.tree.write("allowed/a/b/foreign", "x");
  apply({}, true);
  EXPECT_FALSE(exists(t.target("a/b/c")));
  EXPECT_TRUE(exists(t.target("a/b/foreign")));
  EXPECT_EQ(t.applier().loadState().createdDirectories,
            (std::vector<std::string>{t.target("a"), t.target("a/b")}));

  // Candidates are all recorded directories, not only those of this pass's releases; a hidden
  // file counts as content, and a directory gone meanwhile is forgotten.
  unlink(t.target("a/b/foreign").c_str());
  t.tree.write("allowed/a/b/.hidden", "");
  apply({}, true);
  EXPECT_EQ(t.applier().loadState().createdDirectories,
            (std::vector<std::string>{t.target("a"), t.target("a/b")}));
  std::filesystem::remove_all(t.target("a"));
  apply({}, true);
  EXPECT_FALSE(t.applier().loadState().createdDirectories);
}

TEST_F(FileApplierApplyTest, WithoutUnmanageNothingIsReleasedButTheStateIsRewritten) {
  apply({item("x", "1")});
  const std::string statePath = t.support + "/state.json";
  const std::string saved = readFile(statePath);
  test::overwrite(statePath, saved + "\n\n");
  const auto result = apply({});
  EXPECT_TRUE(result.changes.empty());
  EXPECT_EQ(readFile(t.target("x")), "1");
  EXPECT_EQ(readFile(statePath), saved);
}

// A pass that changes nothing still replaces state.json through the atomic write, so whatever
// stood there (a copy with another owner, a link) gives way to the applier's own 0600 file.
TEST_F(FileApplierApplyTest, AStateFileWithTheSameBytesIsStillRewritten) {
  const std::string statePath = t.support + "/state.json";
  const auto inodeOf = [](const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 ? info.st_ino : ino_t(0);
  };
  apply({item("x", "1")});
  const std::string saved = readFile(statePath);
  const std::vector<Change> steady{{t.target("x"), "h", Action::unchanged}};

  const ino_t before = inodeOf(statePath);
  EXPECT_EQ(apply({item("x", "1")}).changes, steady);
  EXPECT_EQ(readFile(statePath), saved);
  EXPECT_NE(inodeOf(statePath), before);

  const std::string elsewhere = t.tree.write("outside/state.json", saved, 0600);
  ASSERT_EQ(unlink(statePath.c_str()), 0);
  ASSERT_EQ(symlink(elsewhere.c_str(), statePath.c_str()), 0);
  EXPECT_EQ(apply({item("x", "1")}).changes, steady);
  EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(statePath)));
  EXPECT_EQ(readFile(statePath), saved);
  EXPECT_EQ(modeOf(statePath), 0600u);

  if (geteuid() == 0) {  // a copy someone else owns is taken back
    ASSERT_EQ(chown(statePath.c_str(), 65534, 65534), 0);
    EXPECT_EQ(apply({item("x", "1")}).changes, steady);
    EXPECT_EQ(ownerOf(statePath), 0u);
  }
}

TEST_F(FileApplierApplyTest, DryRunTouchesNothing) {
  // A fresh machine: nothing at all is created.
  auto result = apply({item("a/b/new", "1")}, true, true);
  EXPECT_EQ(result.changes, (std::vector<Change>{{t.target("a/b/new"), "h", Action::wouldWrite}}));
  EXPECT_FALSE(exists(t.support));
  EXPECT_FALSE(exists(t.target("a")));

  // A managed machine: what a real pass would release is only reported.
  t.tree.write("allowed/adopted", "theirs");
  apply({item("adopted", "ours"), item("kept", "k"), item("d/gone", "g")});
  const std::string state = readFile(t.support + "/state.json");
  result = apply({item("kept", "k2"), item("fresh", "f")}, true, true);
  EXPECT_TRUE(result.errors.empty());
  EXPECT_EQ(result.changes, (std::vector<Change>{{t.target("kept"), "h", Action::wouldWrite},
                                                 {t.target("fresh"), "h", Action::wouldWrite},
                                                 {t.target("adopted"), "h", Action::wouldRemove},
                                                 {t.target("d/gone"), "h", Action::wouldRemove}}));
  EXPECT_EQ(readFile(t.support + "/state.json"), state);
  EXPECT_EQ(readFile(t.target("kept")), "k");
  EXPECT_EQ(readFile(t.target("adopted")), "ours");
  EXPECT_TRUE(exists(t.target("d/gone")));
  EXPECT_TRUE(exists(t.backup(t.target("adopted"))));
  EXPECT_FALSE(exists(t.target("fresh")));
}

TEST_F(FileApplierApplyTest, NonRegularTargetsFailAndKeepTheirEntry) {
  const std::string outside = t.tree.write("outside/secret", "v1");
  apply({item("link", "v1"), item("dir", "v1")});
  unlink(t.target("link").c_str());
  ASSERT_EQ(symlink(outside.c_str(), t.target("link").c_str()), 0);
  unlink(t.target("dir").c_str());
  t.tree.mkdir("allowed/dir");
  ASSERT_EQ(mkfifo(t.target("fifo").c_str(), 0644), 0);
  const auto before = t.applier().loadState();
  later();

  const auto result = apply({item("link", "v2"), item("dir", "v2"), item("fifo", "v2")}, true);
  EXPECT_TRUE(result.changes.empty());
  for (const char* name : {"link", "dir", "fifo"}) {
    EXPECT_EQ(result.errors.at(t.target(name)),
              "io: " + t.target(name) +
                  " exists but is not a regular file (symlink or directory); refusing to touch it");
  }
  EXPECT_EQ(readFile(outside), "v1");
  std::error_code ignored;
  EXPECT_TRUE(std::filesystem::is_symlink(t.target("link"), ignored));
  EXPECT_EQ(t.applier().loadState(), before);  // neither rewritten nor released
}

TEST_F(FileApplierApplyTest, AnItemNoLongerAllowedKeepsItsEntryAndFile) {
  apply({item("x", "1")});
  const FileApplier narrower(t.support, PathPolicy({}, {t.allowed + "/other/"}), geteuid() == 0,
                             test::files(), test::clock([&] { return t.now; }));
  const auto result = narrower.apply({item("x", "2")}, true, false);
  EXPECT_TRUE(result.changes.empty());
  EXPECT_EQ(result.errors.at(t.target("x")), "path not allowed: " + t.target("x"));
  EXPECT_EQ(readFile(t.target("x")), "1");
  EXPECT_EQ(narrower.loadState().entries.count(t.target("x")), 1u);
}

TEST_F(FileApplierApplyTest, AncestorsMustBeRealDirectories) {
  // Behind the link sits a file that a path-based probe would read and back up.
  const std::string outside = t.tree.mkdir("outside");
  t.tree.write("outside/x", "theirs");
  ASSERT_EQ(symlink(outside.c_str(), t.target("viaLink").c_str()), 0);
  t.tree.write("allowed/file", "x");
  const std::vector<FileApplier::Desired> desired{item("viaLink/x", "1"), item("file/x", "1"),
                                                  item("ok", "1")};
  EXPECT_EQ(apply(desired, false, true).changes,
            (std::vector<Change>{{t.target("viaLink/x"), "h", Action::wouldWrite},
                                 {t.target("file/x"), "h", Action::wouldWrite},
                                 {t.target("ok"), "h", Action::wouldWrite}}));
  const auto result = apply(desired);
  EXPECT_EQ(result.changes, (std::vector<Change>{{t.target("ok"), "h", Action::created}}));
  EXPECT_EQ(result.errors.at(t.target("viaLink/x")),
            "io: " + t.target("viaLink") + " is a symlink; refusing to write through it");
  EXPECT_EQ(result.errors.at(t.target("file/x")),
            "io: " + t.target("file") + " is not a directory");
  EXPECT_EQ(readFile(outside + "/x"), "theirs");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(outside), {}), 1);
  EXPECT_FALSE(exists(t.backup(t.target("viaLink/x"))));
}

TEST_F(FileApplierApplyTest, ReleaseAndCleanUpNeverReachThroughALinkedParent) {
  apply({item("a/b/f", "ours")});
  const std::string outside = t.tree.mkdir("outside/b");
  t.tree.write("outside/b/f", "theirs");
  ASSERT_EQ(rename(t.target("a").c_str(), t.target("a.real").c_str()), 0);
  ASSERT_EQ(symlink(t.tree.path("outside").c_str(), t.target("a").c_str()), 0);
  const auto result = apply({}, true);
  EXPECT_EQ(result.changes, (std::vector<Change>{{t.target("a/b/f"), "h", Action::removed}}));
  EXPECT_EQ(readFile(t.tree.path("outside/b/f")), "theirs");
  EXPECT_EQ(readFile(t.target("a.real/b/f")), "ours");
  // a/b is reached only through the link: kept on record, not deleted; a itself is now a link,
  // no longer the directory the applier made, and is forgotten.
  EXPECT_EQ(t.applier().loadState().createdDirectories,
            (std::vector<std::string>{t.target("a/b")}));
  unlink(t.tree.path("outside/b/f").c_str());
  apply({}, true);
  EXPECT_TRUE(exists(outside));
}

// Files over the read cap are never read: valid JSON followed by megabytes of blanks costs a
// user a few kilobytes of disk as a sparse file.
TEST_F(FileApplierApplyTest, AHugeUnmanagedTargetIsTakenOverWithoutABackupAndSaysSo) {
  const std::string path = t.tree.write("allowed/huge", R"({"allow": "everything"})");
  ASSERT_EQ(truncate(path.c_str(), FileApplier::maxFileSize + 1), 0);  // sparse: no real data
  const auto result = apply({item("huge", "small")});
  EXPECT_EQ(result.changes, (std::vector<Change>{{path, "h", Action::updated}}));
  EXPECT_EQ(result.errors, (std::map<std::string, std::string>{
                               {path, "io: " + path +
                                          " is larger than 67108864 bytes; no backup kept, "
                                          "replaced all the same"}}));
  EXPECT_EQ(readFile(path), "small");
  EXPECT_FALSE(exists(t.backup(path)));
  EXPECT_EQ(entry("huge").backupPath, std::nullopt);
  // From now on it is a managed file like any other, and a release removes it.
  const auto again = apply({item("huge", "small")});
  EXPECT_EQ(again.changes, (std::vector<Change>{{path, "h", Action::unchanged}}));
  EXPECT_TRUE(again.errors.empty());
  EXPECT_EQ(apply({}, true).changes, (std::vector<Change>{{path, "h", Action::removed}}));
  EXPECT_FALSE(exists(path));
}

TEST_F(FileApplierApplyTest, AHugeFileInPlaceOfAManagedOneIsADriftCorrection) {
  const std::string path = t.target("huge");
  apply({item("huge", "small")});
  ASSERT_EQ(truncate(path.c_str(), FileApplier::maxFileSize + 1), 0);
  const auto result = apply({item("huge", "small")});
  EXPECT_EQ(result.changes, (std::vector<Change>{{path, "h", Action::driftCorrected}}));
  EXPECT_TRUE(result.errors.empty());
  EXPECT_EQ(readFile(path), "small");
  EXPECT_EQ(entry("huge").driftCorrections, 1);
}

TEST_F(FileApplierApplyTest, AHugeTargetWithABackupAlreadyThereKeepsThatBackup) {
  const std::string path = t.tree.write("allowed/huge", "");
  ASSERT_EQ(truncate(path.c_str(), FileApplier::maxFileSize + 1), 0);
  t.tree.write(t.backup(path).substr(t.tree.root().size() + 1), "the user's first file");
  const auto result = apply({item("huge", "small")});
  EXPECT_EQ(result.changes, (std::vector<Change>{{path, "h", Action::updated}}));
  EXPECT_TRUE(result.errors.empty());
  EXPECT_EQ(entry("huge").backupPath, t.backup(path));
  EXPECT_EQ(readFile(t.backup(path)), "the user's first file");
}

TEST_F(FileApplierApplyTest, WhatItLeftIsTheFileOnDiskForEveryItemThatDidNotFail) {
  apply({item("kept", "1")});
  t.tree.write("allowed/dir/x", "in the way");
  const auto result =
      apply({item("kept", "1"), item("new", "2"), item("dir", "3"), item("kept", "1")});
  EXPECT_EQ(result.changes.size(), 3u);
  ASSERT_EQ(result.left.size(), 2u);
  for (const std::string name : {"kept", "new"}) {
    const auto& left = result.left.at(FileKey(t.target(name)));
    ASSERT_TRUE(left) << name;
    struct stat now {};
    ASSERT_EQ(lstat(t.target(name).c_str(), &now), 0);
    EXPECT_EQ(left->inode, now.st_ino) << name;
    EXPECT_EQ(left->size, now.st_size) << name;
    EXPECT_EQ(left->modified.count(),
              std::int64_t(now.st_mtim.tv_sec) * 1000000000 + now.st_mtim.tv_nsec)
        << name;
  }
  EXPECT_FALSE(result.left.contains(FileKey(t.target("dir")))) << "a failed item leaves nothing";
  // A dry run leaves what it found, and no file where there was none.
  const auto dry = apply({item("kept", "changed"), item("absent", "4")}, false, true);
  ASSERT_TRUE(dry.left.at(FileKey(t.target("kept"))));
  EXPECT_EQ(dry.left.at(FileKey(t.target("kept")))->inode,
            result.left.at(FileKey(t.target("kept")))->inode);
  EXPECT_EQ(dry.left.at(FileKey(t.target("absent"))), std::nullopt);
}

TEST_F(FileApplierApplyTest, TwoSpellingsOfOneFileLeaveOneFileTheLastWritten) {
  const auto result = apply({item("two", "1"), item("/two", "2", 0644, "g")});
  ASSERT_EQ(result.changes.size(), 2u);
  ASSERT_EQ(result.left.size(), 1u);
  const auto& left = result.left.at(FileKey(t.target("two")));
  ASSERT_TRUE(left);
  struct stat now {};
  ASSERT_EQ(lstat(t.target("two").c_str(), &now), 0);
  EXPECT_EQ(left->inode, now.st_ino);
  EXPECT_EQ(readFile(t.target("two")), "2");
}

TEST_F(FileApplierApplyTest, TwoItemsForOnePathEachReportAChange) {
  const auto result = apply({item("x", "1"), item("x", "2", 0644, "g")});
  EXPECT_EQ(result.changes, (std::vector<Change>{{t.target("x"), "h", Action::created},
                                                 {t.target("x"), "g", Action::updated}}));
  EXPECT_EQ(entry("x").harnessID, "g");
  EXPECT_EQ(readFile(t.target("x")), "2");
}

TEST_F(FileApplierApplyTest, AFailedSaveIsThrown) {
  t.tree.write("support", "not a directory");
  try {
    apply({item("x", "1")});
    FAIL() << "no error";
  } catch (const TavraError& error) {
    EXPECT_EQ(error.description(), "io: " + t.support + " is not a directory");
  }
}

TEST_F(FileApplierApplyTest, AnUndecodableStateCountsAsEmptyAndIsReplaced) {
  t.tree.write("support/state.json", "{\"entries\": 3}");
  EXPECT_EQ(apply({item("x", "1")}).changes,
            (std::vector<Change>{{t.target("x"), "h", Action::created}}));
  EXPECT_EQ(t.applier().loadState().entries.size(), 1u);
}

TEST_F(FileApplierApplyTest, LastAppliedRebuildsFromAppliedCopies) {
  apply({item("a", "A", 0640, "one"), item("b", "B", 0600, "two"), item("c", "C", 0644, "one")});
  unlink(t.appliedCopy(t.target("c")).c_str());
  unlink(t.target("b").c_str());
  const auto all = t.applier().lastApplied();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].path, t.target("a"));
  EXPECT_EQ(all[0].data, "A");
  EXPECT_EQ(all[0].mode, 0640);  // the target's own mode
  EXPECT_EQ(all[0].harnessID, "one");
  EXPECT_EQ(all[0].outputID, "out");
  EXPECT_EQ(all[1].path, t.target("b"));
  EXPECT_EQ(all[1].mode, 0600);  // target gone: the mode it was last written with

  const auto one = t.applier().lastApplied(std::set<std::string>{"one"});
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].path, t.target("a"));
  EXPECT_TRUE(t.applier().lastApplied(std::set<std::string>{}).empty());
}

TEST_F(FileApplierApplyTest, ReassertingAFrozenHarnessReportsNoDrift) {
  apply({item("a", "A", 0640), item("b", "B", 0600)});
  for (int pass = 0; pass < 3; ++pass) {
    const auto result = apply(t.applier().lastApplied(std::set<std::string>{"h"}), true);
    EXPECT_EQ(result.changes, (std::vector<Change>{{t.target("a"), "h", Action::unchanged},
                                                   {t.target("b"), "h", Action::unchanged}}));
  }
  EXPECT_EQ(modeOf(t.target("a")), 0640u);
  EXPECT_EQ(modeOf(t.target("b")), 0600u);
  EXPECT_EQ(entry("a").driftCorrections, 0);
}

TEST_F(FileApplierApplyTest, LastAppliedTrustsOnlyAModeRootCouldHaveSet) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root (changes a file's owner)";
  apply({item("a", "A", 0600)});
  ASSERT_EQ(chown(t.target("a").c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(t.target("a").c_str(), 0666), 0);
  const auto items = t.applier().lastApplied();
  ASSERT_EQ(items.size(), 1u);
  // Not root's file: the mode of the last write, whether or not the applier sets root ownership
  // (a mode someone else chose never counts, and never widens the file).
  EXPECT_EQ(items[0].mode, 0600);
  EXPECT_EQ(t.applier(false).lastApplied()[0].mode, 0600);
}

TEST_F(FileApplierApplyTest, LastAppliedPathsAreCanonicalKeys) {
  // Catalog paths under /etc or /tmp check to their /private form; the state keeps that form.
  const std::string key = "/private/tmp/tavra-not-there/x";
  FileApplier::State state;
  state.entries[key] = {
      "h", "o", FileApplier::sha256("x"), std::nullopt, t.appliedCopy(key), t.now, t.now, 0};
  t.applier().saveState(state);
  t.tree.write("support/applied/" + FileApplier::sha256(key), "x");
  const auto items = t.applier().lastApplied();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].path, "/private/tmp/tavra-not-there/x");
  EXPECT_EQ(items[0].mode, 0644);
}

}  // namespace
}  // namespace tavra
