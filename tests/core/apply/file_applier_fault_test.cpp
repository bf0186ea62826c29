// The applier on a failing disk: one pass that updates, adopts, creates, restores and removes
// files is run once for every call it makes, with that call failing (a full disk, an I/O error,
// a short write, a failed sync or rename, ...) or with the process "crashing" there and every
// byte not yet synced lost. Whatever the failure, every file holds its old or its new bytes,
// no temporary file is left (a crash may leave one; it is never read), and state.json decodes.
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>

#include "support/faulty_file_system.h"
#include "support/services.h"
#include "support/temp_tree.h"
#include "tavra/file_applier.h"

namespace tavra {
namespace {

using Call = test::FaultyFileSystem::Call;
using Fault = test::FaultyFileSystem::Fault;
using Contents = std::set<std::optional<std::string>>;  // nullopt: no file

std::optional<std::string> contentOf(const std::string& path) {
  if (!test::exists(path)) return std::nullopt;
  return test::readFile(path);
}

// The tree of one run: before the failing pass, a first pass (on a sound disk) has adopted two
// files of the user, created two and written an applied copy of each.
class Scenario {
 public:
  Scenario() {
    tree.write("allowed/adopted.json", "user A");
    tree.write("allowed/released.json", "user R");
    tree.write("allowed/fresh.json", "user F");
    sound().apply({item("adopted.json", "A1"), item("kept.json", "K1"), item("released.json", "R1"),
                   item("removed.json", "X1")},
                  true, false);
  }

  // The failing pass: a new version of one file, one kept, one adopted, one created below new
  // directories, and two released (one back to its backup, one removed).
  void secondPass() const {
    try {
      faulty().apply({item("adopted.json", "A2"), item("kept.json", "K1"), item("fresh.json", "F2"),
                      item("deep/dir/created.json", "C2")},
                     true, false);
    } catch (const std::exception&) {
      // A failed state save is thrown; what is on disk is checked.
    }
  }

  // Every file the pass may touch, with the contents it may have afterwards: old or new.
  std::map<std::string, Contents> expectations() const {
    return {
        {target("adopted.json"), {"A1", "A2"}},
        {copy("adopted.json"), {"A1", "A2"}},
        {backup("adopted.json"), {"user A"}},
        {target("kept.json"), {"K1"}},
        {copy("kept.json"), {"K1"}},
        {target("fresh.json"), {"user F", "F2"}},
        {copy("fresh.json"), {std::nullopt, "F2"}},
        {backup("fresh.json"), {std::nullopt, "user F"}},
        {target("deep/dir/created.json"), {std::nullopt, "C2"}},
        {copy("deep/dir/created.json"), {std::nullopt, "C2"}},
        {target("released.json"), {"R1", "user R"}},
        {copy("released.json"), {"R1", std::nullopt}},
        {backup("released.json"), {"user R", std::nullopt}},
        {target("removed.json"), {"X1", std::nullopt}},
        {copy("removed.json"), {"X1", std::nullopt}},
    };
  }

  // Checks the tree after the failing pass; `crashed`: a temporary file may be left.
  void check(bool crashed) const {
    for (const auto& [path, allowed] : expectations()) {
      const auto content = contentOf(path);
      EXPECT_TRUE(allowed.contains(content))
          << path << " holds " << (content ? "\"" + *content + "\"" : "nothing");
    }
    if (!crashed) {
      EXPECT_EQ(test::temporaryFiles(tree.root()), std::vector<std::string>{});
    }
    const auto state = contentOf(support + "/state.json");
    ASSERT_TRUE(state);
    EXPECT_NO_THROW(FileApplier::State::decode(FileApplier::decoder(*state))) << *state;
  }

  // After the failure a pass on a sound disk brings every desired file to its bytes. (Its
  // applied copy may still hold the older bytes when only the copy failed: a target that holds
  // the desired bytes counts as unchanged.)
  void checkRecovery(bool crashed) const {
    files->disarm();
    const auto result =
        faulty().apply({item("adopted.json", "A2"), item("kept.json", "K1"),
                        item("fresh.json", "F2"), item("deep/dir/created.json", "C2")},
                       true, false);
    EXPECT_TRUE(result.errors.empty());
    for (const auto& [name, bytes] :
         std::map<std::string, std::string>{{"adopted.json", "A2"},
                                            {"kept.json", "K1"},
                                            {"fresh.json", "F2"},
                                            {"deep/dir/created.json", "C2"}}) {
      EXPECT_EQ(contentOf(target(name)), bytes) << name;
    }
    EXPECT_EQ(faulty().loadState().entries.size(), 4u);
    if (!crashed) {
      EXPECT_EQ(test::temporaryFiles(tree.root()), std::vector<std::string>{});
    }
  }

  test::TempTree tree;
  std::string support = tree.path("support");
  std::string allowed = tree.mkdir("allowed");
  std::shared_ptr<test::FaultyFileSystem> files =
      std::make_shared<test::FaultyFileSystem>(test::files());

 private:
  FileApplier applierOn(std::shared_ptr<const FileSystem> on) const {
    return FileApplier(support, PathPolicy({}, {allowed + "/"}), geteuid() == 0, std::move(on),
                       test::clock([] { return Date(std::chrono::seconds(1'800'000'000)); }));
  }
  FileApplier sound() const { return applierOn(test::files()); }
  FileApplier faulty() const { return applierOn(files); }

  FileApplier::Desired item(const std::string& name, const std::string& bytes) const {
    return {target(name), bytes, 0644, "h", name};
  }
  std::string target(const std::string& name) const { return allowed + "/" + name; }
  std::string copy(const std::string& name) const {
    return support + "/applied/" + FileApplier::sha256(target(name));
  }
  std::string backup(const std::string& name) const {
    return support + "/backups/" + FileApplier::sha256(target(name)) + ".bak";
  }
};

struct FaultCase {
  const char* name;
  Call call;
  Fault fault;
};

class FileApplierFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FileApplierFaultTest, EveryFailurePointLeavesOldOrNewBytes) {
  const FaultCase& fault = GetParam();
  std::size_t points = 0;
  {
    Scenario counting;
    counting.files->disarm();
    counting.secondPass();
    points = counting.files->calls(fault.call);
  }
  ASSERT_GT(points, 0u);
  for (std::size_t n = 1; n <= points; ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n) + " of " + std::to_string(points));
    Scenario run;
    run.files->arm(fault.call, n, fault.fault);
    run.secondPass();
    ASSERT_TRUE(run.files->fired());
    if (fault.fault == Fault::crash) run.files->dropUnsyncedData();
    run.check(fault.fault == Fault::crash);
    run.checkRecovery(fault.fault == Fault::crash);
    if (HasFailure()) break;  // one failure point explained is enough
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FileApplierFaultTest,
    ::testing::Values(FaultCase{"AnyCallFailsWithEIO", Call::any, Fault::ioError},
                      FaultCase{"AWriteFindsTheDiskFull", Call::write, Fault::noSpace},
                      FaultCase{"AShortWriteFillsTheDisk", Call::write, Fault::shortWrite},
                      FaultCase{"ACreateFindsTheDiskFull", Call::create, Fault::noSpace},
                      FaultCase{"ADirectoryCannotBeMade", Call::walk, Fault::noSpace},
                      FaultCase{"ASyncFails", Call::sync, Fault::ioError},
                      FaultCase{"ARenameFails", Call::rename, Fault::ioError},
                      FaultCase{"AModeChangeFails", Call::changeMode, Fault::ioError},
                      FaultCase{"ARemoveFails", Call::remove, Fault::ioError},
                      FaultCase{"ACrashAtAnyCall", Call::any, Fault::crash}),
    [](const ::testing::TestParamInfo<FaultCase>& fault) { return std::string(fault.param.name); });

}  // namespace
}  // namespace tavra
