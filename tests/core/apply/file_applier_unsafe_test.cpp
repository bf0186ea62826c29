// Targets an apply must not trust: dry runs, links, folders and other kinds in place of a file,
// items no longer allowed, and files too large to read.
#include "core/apply/file_applier_apply_fixture.h"

namespace tavra::test {
namespace {

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

}  // namespace
}  // namespace tavra::test
