// The file system confined to one folder: nothing outside it is reached, whatever path, link
// or swap is met, and what it makes there has fixed modes.
#include "tavra/platform/confined_file_system.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>

#include "support/faulty_file_system.h"
#include "support/services.h"
#include "support/temp_tree.h"

namespace tavra {
namespace {

using fs::Links;
using Failure = fs::ReadResult::Failure;

mode_t modeOf(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : mode_t(-1);
}

class ConfinedFileSystemTest : public ::testing::Test {
 protected:
  ConfinedFileSystemTest() {
    tree.mkdir("inside/sub");
    tree.mkdir("outside");
    tree.write("outside/secret", "outside bytes", 0600);
    tree.write("inside/file", "inside bytes");
    ::symlink(tree.path("outside").c_str(), tree.path("inside/dirlink").c_str());
    ::symlink(tree.path("outside/secret").c_str(), tree.path("inside/filelink").c_str());
    confined = confine(tree.path("inside"));
  }

  // A file system confined to `folder`, which it also knows as "/alias/inside".
  std::shared_ptr<const ConfinedFileSystem> confine(const std::string& folder) {
    fs::Walk opened = test::files()->openDirectory(folder, Links::never);
    if (!opened) throw std::runtime_error("cannot open " + folder);
    return std::make_shared<const ConfinedFileSystem>(
        test::files(), std::move(opened.directory),
        std::vector<std::string>{folder, "/alias/inside"});
  }

  std::string inside(const std::string& relative) const { return tree.path("inside/" + relative); }

  test::TempTree tree;
  std::shared_ptr<const ConfinedFileSystem> confined;
};

TEST_F(ConfinedFileSystemTest, PathsBelowTheFolderInEitherSpellingAreReached) {
  struct Case {
    std::string path;
    bool reached;
  };
  for (const Case& c : std::vector<Case>{{inside("file"), true},
                                         {"/alias/inside/file", true},
                                         {"/alias//inside//file", true},
                                         {"/alias/inside/./file", false},
                                         {inside("sub/../file"), false}}) {
    SCOPED_TRACE(c.path);
    const fs::ReadResult read = confined->readFile(c.path, {.maxBytes = 100});
    EXPECT_EQ(bool(read), c.reached);
    EXPECT_EQ(read.bytes, c.reached ? "inside bytes" : "");
  }
  confined->writeAtomically("/alias/inside/sub/new", "new", {.mode = 0600});
  EXPECT_EQ(test::readFile(inside("sub/new")), "new");
  const fs::Walk made = confined->makeDirectories("/alias/inside/sub/x/y", {.mode = 0700});
  ASSERT_TRUE(made);
  EXPECT_EQ(made.created,
            (std::vector<std::string>{"/alias/inside/sub/x", "/alias/inside/sub/x/y"}));
  std::error_code error;
  std::optional<std::vector<std::string>> names = confined->list("/alias/inside/sub", error);
  ASSERT_TRUE(names);
  std::sort(names->begin(), names->end());
  EXPECT_EQ(*names, (std::vector<std::string>{"new", "x"}));
  EXPECT_TRUE(confined->status(inside(""), Links::follow, error));
  EXPECT_EQ(confined->realPath("/alias/inside/sub"), "/alias/inside/sub");
  EXPECT_EQ(confined->workingDirectory(), std::nullopt);
}

// Every way of naming a place outside the folder fails with the confinement's own error, and
// nothing outside is read, made, written or removed.
TEST_F(ConfinedFileSystemTest, NothingOutsideTheFolderIsReached) {
  const auto before = test::readFile(tree.path("outside/secret"));
  for (const std::string& path :
       {tree.path("outside/secret"), inside("../outside/secret"), inside("sub/../../outside/x"),
        tree.path("inside2/x"), std::string("relative/x"), std::string("/alias/insidex/y"),
        std::string("/")}) {
    SCOPED_TRACE(path);
    std::error_code error;
    EXPECT_FALSE(confined->readFile(path, {.maxBytes = 100}));
    EXPECT_FALSE(confined->status(path, Links::follow, error));
    EXPECT_EQ(error, fs::outsideConfinement());
    EXPECT_EQ(error, std::errc::permission_denied);
    EXPECT_EQ(fs::systemErrorText(error), "outside the confined folder");
    EXPECT_FALSE(confined->openFile(path, Links::follow, fs::Wait::never, error));
    EXPECT_FALSE(confined->list(path, error));
    EXPECT_FALSE(confined->remove(path, error));
    const fs::Walk walk = confined->makeDirectories(path + "/d", {.mode = 0755});
    EXPECT_FALSE(walk);
    EXPECT_EQ(walk.error, fs::outsideConfinement());
    EXPECT_THROW(confined->writeAtomically(path, "x", {.mode = 0644}), fs::WriteError);
    EXPECT_EQ(confined->realPath(path), std::nullopt);
  }
  EXPECT_EQ(test::readFile(tree.path("outside/secret")), before);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tree.path("outside")),
                          std::filesystem::directory_iterator()),
            1);
  EXPECT_FALSE(test::exists(tree.path("inside2")));
}

// Below the folder a link is never followed, whatever the caller asked for.
TEST_F(ConfinedFileSystemTest, NoLinkBelowTheFolderIsFollowed) {
  for (const Links links : {Links::follow, Links::notFinal, Links::never}) {
    SCOPED_TRACE(int(links));
    std::error_code error;
    EXPECT_FALSE(confined->openDirectory(inside("dirlink"), links));
    EXPECT_EQ(confined->openDirectory(inside("dirlink/x"), links).stop, fs::Walk::Stop::symlink);
    const fs::ReadResult file =
        confined->readFile(inside("filelink"), {.maxBytes = 100, .links = links});
    EXPECT_EQ(file.failure, Failure::notRegular);
    EXPECT_FALSE(confined->readFile(inside("dirlink/secret"), {.maxBytes = 100, .links = links}));
    const auto status = confined->status(inside("filelink"), links, error);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->isSymlink());
    EXPECT_FALSE(confined->list(inside("dirlink"), error));
    EXPECT_FALSE(confined->makeDirectories(inside("dirlink/made"), {.mode = 0755, .links = links}));
  }
  EXPECT_THROW(confined->writeAtomically(inside("dirlink/secret"), "x", {.mode = 0644}),
               fs::WriteError);
  std::error_code error;
  EXPECT_FALSE(confined->remove(inside("dirlink/secret"), error));
  EXPECT_EQ(confined->realPath(inside("filelink")), std::nullopt);
  EXPECT_EQ(test::readFile(tree.path("outside/secret")), "outside bytes");
  EXPECT_FALSE(test::exists(tree.path("outside/made")));
}

// The folder is held open: once it is moved away and a link put at its path, every path still
// leads into the folder itself, never where the link points.
TEST_F(ConfinedFileSystemTest, AFolderSwappedForALinkKeepsTheWorkInTheFolder) {
  std::filesystem::rename(tree.path("inside"), tree.path("moved"));
  ASSERT_EQ(::symlink(tree.path("outside").c_str(), tree.path("inside").c_str()), 0);
  confined->writeAtomically(inside("written"), "x", {.mode = 0644});
  ASSERT_TRUE(confined->makeDirectories(inside("made"), {.mode = 0755}));
  EXPECT_TRUE(test::exists(tree.path("moved/written")));
  EXPECT_TRUE(test::exists(tree.path("moved/made")));
  EXPECT_FALSE(test::exists(tree.path("outside/written")));
  EXPECT_FALSE(test::exists(tree.path("outside/made")));
}

// A file is only ever replaced: a hard link at the path keeps the other name's content, and no
// writing in place is offered.
TEST_F(ConfinedFileSystemTest, FilesAreReplacedNeverWrittenThrough) {
  tree.write("outside/linked", "outside bytes");
  ASSERT_EQ(::link(tree.path("outside/linked").c_str(), inside("hardlink").c_str()), 0);
  confined->writeAtomically(inside("hardlink"), "new", {.mode = 0644});
  EXPECT_EQ(test::readFile(inside("hardlink")), "new");
  EXPECT_EQ(test::readFile(tree.path("outside/linked")), "outside bytes");

  ::unlink(inside("hardlink").c_str());
  ASSERT_EQ(::link(tree.path("outside/linked").c_str(), inside("hardlink").c_str()), 0);
  std::error_code error;
  EXPECT_FALSE(confined->openForWriting(inside("hardlink"), Links::notFinal, error));
  EXPECT_EQ(error, std::errc::operation_not_supported);
  EXPECT_THROW(confined->writePlainly(inside("hardlink"), "x", Links::notFinal, true),
               std::system_error);
  EXPECT_EQ(test::readFile(tree.path("outside/linked")), "outside bytes");
}

// What it makes without a mode asked for gets 0755 or 0644, whatever the mask.
TEST_F(ConfinedFileSystemTest, ItsDefaultsAreFixedModesWhateverTheMask) {
  const mode_t old = ::umask(0);
  ASSERT_TRUE(confined->makeDirectories(inside("a/b"), {}));
  confined->writeAtomically(inside("a/b/file"), "x", {});
  confined->writeAtomically(inside("a/b/private"), "x", {.mode = 0600});
  ::umask(077);
  confined->writeAtomically(inside("a/b/narrow"), "x", {});
  ::umask(old);
  EXPECT_EQ(modeOf(inside("a")), 0755u);
  EXPECT_EQ(modeOf(inside("a/b")), 0755u);
  EXPECT_EQ(modeOf(inside("a/b/file")), 0644u);
  EXPECT_EQ(modeOf(inside("a/b/narrow")), 0644u);
  EXPECT_EQ(modeOf(inside("a/b/private")), 0600u);
}

// Underneath, it walks from the folder it holds: a fault of that walk reaches its callers.
TEST_F(ConfinedFileSystemTest, ItWalksThroughTheFileSystemUnderneath) {
  auto faulty = std::make_shared<test::FaultyFileSystem>(test::files());
  fs::Walk opened = test::files()->openDirectory(tree.path("inside"), Links::never);
  const ConfinedFileSystem over(faulty, std::move(opened.directory), {tree.path("inside")});
  faulty->arm(test::FaultyFileSystem::Call::walk, 1, test::FaultyFileSystem::Fault::ioError);
  const fs::ReadResult failed = over.readFile(inside("file"), {.maxBytes = 100});
  EXPECT_FALSE(failed);
  EXPECT_EQ(failed.error, std::errc::io_error);
  EXPECT_TRUE(faulty->fired());
  EXPECT_EQ(over.readFile(inside("file"), {.maxBytes = 100}).bytes, "inside bytes");
  EXPECT_THROW(ConfinedFileSystem(faulty, fs::FileDescriptor(), {tree.path("inside")}),
               std::invalid_argument);
}

}  // namespace
}  // namespace tavra
