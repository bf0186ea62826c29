// Releases and restores: backups put back, files removed, created folders cleaned up.
#include "core/apply/file_applier_apply_fixture.h"

namespace tavra::test {
namespace {

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

}  // namespace
}  // namespace tavra::test
