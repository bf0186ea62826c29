// The mode of a re-asserted file (a frozen harness's last applied copy): the mode it was last
// written with, narrowed to the file's own mode only where nobody but root can have set that;
// never wider, never set-id. And the mode as the state file keeps it.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "support/applier_tree.h"
#include "tavra/file_applier.h"

namespace tavra {
namespace {

using Action = FileApplier::Action;
using Change = FileApplier::Change;
using test::modeOf;
using test::readFile;

class FileApplierModeTest : public ::testing::Test {
 protected:
  test::ApplierTree t;
  std::string path = t.target("settings.json");

  void write(std::uint16_t mode) const {
    t.applier().apply({{path, "{\"policy\":1}\n", mode, "h", "out"}}, false, false);
  }
  std::uint16_t reasserted() const {
    const auto items = t.applier().lastApplied();
    if (items.size() != 1) throw std::runtime_error("expected one item");
    return items[0].mode;
  }
  // A frozen harness's pass: its last applied copies, re-asserted.
  FileApplier::ApplyResult reassert() const {
    return t.applier().apply(t.applier().lastApplied(std::set<std::string>{"h"}), true, false);
  }
};

// A user who can write the folder puts a hard link to another file (root's, when the tests run
// as root) in place of the target. Its mode is not the file's own: the rebuilt file gets the mode
// of the last write, and the linked file is left alone.
TEST_F(FileApplierModeTest, AHardLinkInPlaceOfTheTargetLendsNoMode) {
  const bool root = geteuid() == 0;
  for (const mode_t lent : {mode_t(04755), mode_t(0000), mode_t(0666)}) {
    if (lent == 0000 && !root) continue;  // only root reads a file of mode 0000
    SCOPED_TRACE(lent);
    write(0644);
    const std::string other = t.tree.write("elsewhere/" + std::to_string(lent), "root's\n", lent);
    std::filesystem::remove(path);
    ASSERT_EQ(link(other.c_str(), path.c_str()), 0);

    EXPECT_EQ(reasserted(), 0644);
    EXPECT_EQ(reassert().changes, (std::vector<Change>{{path, "h", Action::driftCorrected}}));
    EXPECT_EQ(modeOf(path), 0644u);
    EXPECT_EQ(readFile(path), "{\"policy\":1}\n");
    EXPECT_EQ(modeOf(other), lent);
    EXPECT_EQ(readFile(other), "root's\n");
    EXPECT_EQ(reassert().changes, (std::vector<Change>{{path, "h", Action::unchanged}}));
  }
  if (!root) GTEST_SKIP() << "the link to a file of mode 0000 needs root: only root can read it";
}

TEST_F(FileApplierModeTest, ADeletedFileComesBackWithTheModeItWasWrittenWith) {
  write(0600);
  std::filesystem::remove(path);
  EXPECT_EQ(reasserted(), 0600);
  EXPECT_EQ(reassert().changes, (std::vector<Change>{{path, "h", Action::driftCorrected}}));
  EXPECT_EQ(modeOf(path), 0600u);
}

// What root does to the file's own mode, with the file otherwise as written.
TEST_F(FileApplierModeTest, OnlyANarrowerModeOfRootsOwnFileIsKept) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root (the file must be root's)";
  struct Case {
    const char* name;
    std::uint16_t written;
    std::function<void(const std::string&)> change;
    std::uint16_t expected;
  };
  const Case cases[] = {
      {"narrowed", 0644, [](const std::string& p) { EXPECT_EQ(chmod(p.c_str(), 0600), 0); }, 0600},
      {"widened", 0600, [](const std::string& p) { EXPECT_EQ(chmod(p.c_str(), 0666), 0); }, 0600},
      {"set-uid", 0755, [](const std::string& p) { EXPECT_EQ(chmod(p.c_str(), 04755), 0); }, 0755},
      {"content changed", 0644,
       [](const std::string& p) {
         test::overwrite(p, "edited\n");
         EXPECT_EQ(chmod(p.c_str(), 0600), 0);
       },
       0644},
      {"a second name", 0644,
       [this](const std::string& p) {
         EXPECT_EQ(chmod(p.c_str(), 0600), 0);
         EXPECT_EQ(link(p.c_str(), t.target("second").c_str()), 0);
       },
       0644},
      {"someone else's", 0644,
       [](const std::string& p) {
         EXPECT_EQ(chmod(p.c_str(), 0600), 0);
         EXPECT_EQ(chown(p.c_str(), 65534, 65534), 0);
       },
       0644},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(t.target("second"));
    write(c.written);
    c.change(path);
    EXPECT_EQ(reasserted(), c.expected);
  }
}

// A catalog may give a mode with bits above the permission bits ("100644", a file-type bit).
// Only the permission bits can be given to a file: a file written so is in order on the next
// pass, not a drift to correct on every pass.
TEST_F(FileApplierModeTest, BitsAboveThePermissionBitsAreNoDrift) {
  for (const std::uint16_t mode : {std::uint16_t(0100644), std::uint16_t(0170600)}) {
    SCOPED_TRACE(mode);
    const std::string file = t.target(std::to_string(mode));
    const FileApplier::Desired desired{file, "{}\n", mode, "h", "out"};
    EXPECT_EQ(t.applier().apply({desired}, false, false).changes,
              (std::vector<Change>{{file, "h", Action::created}}));
    EXPECT_EQ(modeOf(file), mode & 07777u);
    for (int pass = 0; pass < 2; ++pass) {
      EXPECT_EQ(t.applier().apply({desired}, false, false).changes,
                (std::vector<Change>{{file, "h", Action::unchanged}}));
    }
    const auto entry = t.applier().loadState().entries.at(file);
    EXPECT_EQ(entry.driftCorrections, 0);
    EXPECT_EQ(entry.mode, std::optional<std::uint16_t>(mode & 07777));
  }
}

TEST_F(FileApplierModeTest, TheStateKeepsTheModeAsOctalText) {
  write(0640);
  const auto state = t.applier().loadState();
  EXPECT_EQ(state.entries.at(path).mode, std::optional<std::uint16_t>(0640));
  EXPECT_NE(readFile(t.support + "/state.json").find("\"mode\" : \"0640\""), std::string::npos);

  for (const auto& [text, expected] :
       std::vector<std::pair<Value, std::optional<std::uint16_t>>>{{"0600", 0600},
                                                                   {"600", 0600},
                                                                   {"0100644", 0100644},
                                                                   {"0644 ", std::nullopt},
                                                                   {"0o644", std::nullopt},
                                                                   {"0200000", std::nullopt},
                                                                   {"", std::nullopt},
                                                                   {Value(420), std::nullopt}}) {
    Value::Object record = *state.entries.at(path).encode().asObject();
    record.insert_or_assign("mode", text);
    // An entry with an unreadable mode is kept; its mode counts as not recorded.
    EXPECT_EQ(FileApplier::StateEntry::decode(record).mode, expected) << FileApplier::encoder(text);
  }
}

// Entries of an older state file have no mode: the file's own mode counts where it can be
// trusted (without set-id bits), else the catalog's default. The next pass that finds the file
// as desired records its mode.
TEST_F(FileApplierModeTest, AnEntryWithoutAModeFallsBackAndIsCompletedByTheNextPass) {
  write(0600);
  auto state = t.applier().loadState();
  state.entries.at(path).mode.reset();
  t.applier().saveState(state);
  EXPECT_EQ(reasserted(), geteuid() == 0 ? 0600 : 0644);
  std::filesystem::remove(path);
  EXPECT_EQ(reasserted(), 0644);

  write(0600);  // recreates the file: driftCorrected, and the mode recorded
  state.entries.at(path).mode.reset();
  t.applier().saveState(state);
  t.now += std::chrono::hours(1);
  write(0600);  // unchanged; only the record is completed
  EXPECT_EQ(t.applier().loadState().entries.at(path).mode, std::optional<std::uint16_t>(0600));
  EXPECT_EQ(t.applier().loadState().entries.at(path).lastWritten,
            state.entries.at(path).lastWritten);
}

}  // namespace
}  // namespace tavra
