// Applies that create, adopt, update and correct files, and what an apply left at each.
#include "core/apply/file_applier_apply_fixture.h"

namespace tavra::test {
namespace {

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

}  // namespace
}  // namespace tavra::test
