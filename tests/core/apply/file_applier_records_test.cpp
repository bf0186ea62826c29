// What an apply keeps of itself: the state file it rewrites, and the last applied copies that
// rebuild a frozen harness's files.
#include "core/apply/file_applier_apply_fixture.h"

namespace tavra::test {
namespace {

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
}  // namespace tavra::test
