// The file layer: paths, the reader, the atomic write and the directory walk of this machine's
// file system, including where canonical /private paths live here.
#include "tavra/platform/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "support/faulty_file_system.h"
#include "support/temp_tree.h"
#include "support/thrown.h"

namespace tavra {
namespace {

using fs::Links;
using Failure = fs::ReadResult::Failure;
using Stop = fs::Walk::Stop;

mode_t modeOf(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : mode_t(-1);
}

TEST(PathTextTest, SplitJoinAndComponents) {
  struct Case {
    const char* path;
    const char* directory;
    const char* name;
  };
  for (const Case& c : std::vector<Case>{{"/a/b", "/a", "b"},
                                         {"/a/b/", "/a", "b"},
                                         {"/a//b", "/a", "b"},
                                         {"/a", "/", "a"},
                                         {"a", ".", "a"},
                                         {"a/b", "a", "b"},
                                         {"/", "/", ""}}) {
    const fs::PathParts parts = fs::splitPath(c.path);
    EXPECT_EQ(parts.directory, c.directory) << c.path;
    EXPECT_EQ(parts.name, c.name) << c.path;
  }
  EXPECT_EQ(fs::joinPath("/a", "b"), "/a/b");
  EXPECT_EQ(fs::joinPath("/a/", "b"), "/a/b");
  EXPECT_EQ(fs::joinPath("/", "b"), "/b");
  EXPECT_EQ(fs::pathComponents("/a//b/"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(fs::pathComponents("x"), std::vector<std::string>{"x"});
  EXPECT_TRUE(fs::pathComponents("/").empty());
}

TEST(PathTextTest, ErrorTextsComeFromOnePlace) {
  const auto missing = std::make_error_code(std::errc::no_such_file_or_directory);
  EXPECT_EQ(fs::systemErrorText(missing), "No such file or directory");
  EXPECT_STREQ(fs::systemError(missing, "cannot open /x").what(),
               "cannot open /x: No such file or directory");
  const auto full = std::make_error_code(std::errc::no_space_on_device);
  EXPECT_STREQ(fs::WriteError::cannotWrite("/t", full).what(),
               "cannot write /t: No space left on device");
  EXPECT_STREQ(fs::WriteError::cannotCreate("/d/.tavra-x", full).what(),
               "cannot create /d/.tavra-x: No space left on device");
  EXPECT_TRUE(std::regex_match(
      fs::WriteError::cannotCreateIn("/d", full).what(),
      std::regex("cannot create /d/\\.tavra-[0-9A-F-]{36}: No space left on device")));
}

class FileLayerTest : public ::testing::Test {
 protected:
  test::TempTree tree;
  PosixFileSystem files;
};

TEST_F(FileLayerTest, TheReaderReadsOnlyRegularFilesWithinTheirCap) {
  tree.write("file", "bytes");
  tree.mkdir("dir");
  ASSERT_EQ(::mkfifo(tree.path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(::symlink(tree.path("file").c_str(), tree.path("link").c_str()), 0);

  const fs::ReadResult file = files.readFile(tree.path("file"), {.maxBytes = 5});
  ASSERT_TRUE(file);
  EXPECT_EQ(file.bytes, "bytes");
  EXPECT_TRUE(file.status.isRegular());
  EXPECT_EQ(file.status.size, 5);

  struct Case {
    const char* name;
    fs::ReadOptions options;
    Failure failure;
  };
  for (const Case& c : std::vector<Case>{
           {"missing", {.maxBytes = 10}, Failure::absent},
           {"missing/below", {.maxBytes = 10}, Failure::absent},
           {"dir", {.maxBytes = 10}, Failure::notRegular},
           {"fifo", {.maxBytes = 10}, Failure::notRegular},  // never opened, so never waits
           {"file", {.maxBytes = 4}, Failure::unreadable},
           {"link", {.maxBytes = 10, .links = Links::notFinal}, Failure::notRegular},
           {"link", {.maxBytes = 10, .links = Links::never}, Failure::notRegular},
       }) {
    EXPECT_EQ(files.readFile(tree.path(c.name), c.options).failure, c.failure) << c.name;
  }
  EXPECT_EQ(files.readFile(tree.path("link"), {.maxBytes = 10}).bytes, "bytes");
  EXPECT_EQ(files.readFile(tree.path("file"), {.maxBytes = 4}).error, std::errc::file_too_large);
  EXPECT_EQ(files.readFile(tree.path("dir"), {.maxBytes = 4}).error, std::errc::is_a_directory);

  const bool root = ::geteuid() == 0;
  EXPECT_EQ(bool(files.readFile(tree.path("file"), {.maxBytes = 10, .requireRootOwned = true})),
            root);
}

TEST_F(FileLayerTest, AFileOverTheCapIsRefusedUnreadWithItsStatus) {
  const std::string path = tree.write("huge", "");
  ASSERT_EQ(::truncate(path.c_str(), 1 << 30), 0);  // sparse
  const fs::ReadResult read = files.readFile(path, {.maxBytes = 1 << 20});
  EXPECT_EQ(read.error, std::errc::file_too_large);
  EXPECT_TRUE(read.bytes.empty());
  EXPECT_EQ(read.status.size, 1 << 30);
  struct stat info {};
  ASSERT_EQ(::lstat(path.c_str(), &info), 0);
  EXPECT_EQ(read.status.inode, info.st_ino);
}

TEST_F(FileLayerTest, TheAtomicWriteGivesTheStatusOfTheFileItPutInPlace) {
  const auto written = files.writeAtomically(tree.path("f"), "bytes", {.mode = 0640});
  ASSERT_TRUE(written);
  std::error_code error;
  const auto now = files.status(tree.path("f"), Links::notFinal, error);
  ASSERT_TRUE(now);
  EXPECT_TRUE(now->sameVersion(*written));
  EXPECT_EQ(written->permissions(), 0640u);
  EXPECT_EQ(written->size, 5);
  // Any later change of the file shows.
  const auto before = *now;
  ASSERT_EQ(::chmod(tree.path("f").c_str(), 0600), 0);
  EXPECT_FALSE(files.status(tree.path("f"), Links::notFinal, error)->sameVersion(before));
  const auto replaced = files.writeAtomically(tree.path("f"), "bytes", {.mode = 0640});
  EXPECT_FALSE(replaced->sameVersion(*written)) << "a new file, though the same bytes and mode";
}

// A file someone named on purpose is read whatever its kind: a FIFO is waited for and read to its
// end, however slowly its writer writes; a device is read too, within the cap. A directory is
// still no file, and an entry of an open directory is read only when it is a regular file.
TEST_F(FileLayerTest, AnyKindReadsPipesAndDevicesWithinTheCap) {
  const std::string fifo = tree.path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // More than a pipe holds, in pieces, after a pause: the reader waits for the writer.
  const std::string content = std::string(200000, 'x') + "end";
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (std::size_t at = 0; at < content.size(); at += 70000) {
      const std::string_view piece = std::string_view(content).substr(at, 70000);
      ASSERT_EQ(::write(fd, piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
    }
    ::close(fd);
  });
  const fs::ReadResult read = files.readFile(fifo, {.maxBytes = 1 << 20, .anyKind = true});
  writer.join();
  ASSERT_TRUE(read) << read.error.message();
  EXPECT_EQ(read.bytes, content);

  EXPECT_EQ(files.readFile("/dev/null", {.maxBytes = 10, .anyKind = true}).bytes, "");
  const fs::ReadResult endless = files.readFile("/dev/zero", {.maxBytes = 100000, .anyKind = true});
  EXPECT_EQ(endless.failure, Failure::unreadable);
  EXPECT_EQ(endless.error, std::errc::file_too_large);
  tree.mkdir("dir");
  EXPECT_EQ(files.readFile(tree.path("dir"), {.maxBytes = 10, .anyKind = true}).error,
            std::errc::is_a_directory);

  // Found in a folder, the FIFO is never opened: no writer is needed for the answer.
  const fs::Walk folder = files.openDirectory(tree.root(), Links::follow);
  ASSERT_TRUE(folder);
  EXPECT_EQ(files.readFileAt(folder.directory, "fifo", {.maxBytes = 10, .anyKind = true}).failure,
            Failure::notRegular);
  EXPECT_EQ(files.readFile(fifo, {.maxBytes = 10, .links = Links::never, .anyKind = true}).failure,
            Failure::notRegular);
}

TEST_F(FileLayerTest, TheReaderRefusesALinkOnTheWayOnlyWhenAskedTo) {
  tree.write("real/file", "x");
  ASSERT_EQ(::symlink(tree.path("real").c_str(), tree.path("alias").c_str()), 0);
  EXPECT_TRUE(files.readFile(tree.path("alias/file"), {.maxBytes = 1}));
  EXPECT_TRUE(files.readFile(tree.path("alias/file"), {.maxBytes = 1, .links = Links::notFinal}));
  EXPECT_FALSE(files.readFile(tree.path("alias/file"), {.maxBytes = 1, .links = Links::never}));
  EXPECT_TRUE(files.readFile(tree.path("real/file"), {.maxBytes = 1, .links = Links::never}));
}

TEST_F(FileLayerTest, TheAtomicWriteGivesTheModeOrTheDefaultsAndCanSyncTheDirectory) {
  const mode_t old = ::umask(027);
  files.writeAtomically(tree.path("exact"), "1", {.mode = 0644});
  files.writeAtomically(tree.path("defaults"), "2", {});
  files.writeAtomically(tree.path("synced"), "3", {.mode = 0600, .syncDirectory = true});
  ::umask(old);
  EXPECT_EQ(test::readFile(tree.path("exact")), "1");
  EXPECT_EQ(modeOf(tree.path("exact")), 0644u);
  EXPECT_EQ(modeOf(tree.path("defaults")), 0640u);  // 0666 under the mask
  EXPECT_EQ(test::readFile(tree.path("synced")), "3");
  EXPECT_EQ(test::temporaryFiles(tree.root()), std::vector<std::string>{});

  const std::string message = test::thrownText<fs::WriteError>(
      [&] { files.writeAtomically(tree.path("missing/x"), "4", {}); });
  EXPECT_TRUE(
      std::regex_match(message, std::regex("cannot create " + tree.path("missing") +
                                           "/\\.tavra-[0-9A-F-]{36}: No such file or directory")))
      << message;
}

TEST_F(FileLayerTest, AShortWriteOnAFullDiskFailsAndLeavesNothing) {
  const auto faulty = std::make_shared<test::FaultyFileSystem>(std::make_shared<PosixFileSystem>());
  // Half of the bytes go out, then the disk is full: the write fails and leaves nothing.
  faulty->arm(test::FaultyFileSystem::Call::write, 1, test::FaultyFileSystem::Fault::shortWrite);
  tree.write("target", "old");
  EXPECT_THROW(faulty->writeAtomically(tree.path("target"), "new bytes", {.mode = 0644}),
               fs::WriteError);
  EXPECT_EQ(test::readFile(tree.path("target")), "old");
  EXPECT_EQ(test::temporaryFiles(tree.root()), std::vector<std::string>{});
  EXPECT_EQ(faulty->calls(test::FaultyFileSystem::Call::write), 2u);
}

// A short write is a fault of writes only: armed on any call, it fires at the n-th call only when
// that call is a write, so a test that asks whether it fired never counts a call that went on
// untouched.
TEST_F(FileLayerTest, AShortWriteFiresOnlyOnAWrite) {
  using Call = test::FaultyFileSystem::Call;
  test::FaultyFileSystem faulty(std::make_shared<PosixFileSystem>());
  faulty.arm(Call::any, 1, test::FaultyFileSystem::Fault::shortWrite);
  std::error_code error;
  EXPECT_TRUE(faulty.status(tree.root(), Links::follow, error));
  EXPECT_FALSE(faulty.fired());

  // Call 2 creates the temporary file; the write is call 3.
  faulty.arm(Call::any, 2, test::FaultyFileSystem::Fault::shortWrite);
  faulty.writeAtomically(tree.path("a"), "whole", {});
  EXPECT_FALSE(faulty.fired());
  EXPECT_EQ(test::readFile(tree.path("a")), "whole");
  faulty.arm(Call::any, 3, test::FaultyFileSystem::Fault::shortWrite);
  EXPECT_THROW(faulty.writeAtomically(tree.path("a"), "halved", {}), fs::WriteError);
  EXPECT_TRUE(faulty.fired());
  EXPECT_EQ(test::readFile(tree.path("a")), "whole");
}

// The tests' crash model itself: a file keeps what it held at its last sync, wherever it went.
TEST_F(FileLayerTest, ACrashKeepsOnlyWhatWasSynced) {
  test::FaultyFileSystem faulty(std::make_shared<PosixFileSystem>());
  faulty.disarm();
  const fs::Walk directory = faulty.openDirectory(tree.root(), Links::follow);
  std::error_code error;
  const fs::FileDescriptor synced = faulty.createFileAt(directory.directory, "a", 0600, error);
  const fs::FileDescriptor unsynced = faulty.createFileAt(directory.directory, "b", 0600, error);
  ASSERT_TRUE(synced && unsynced);
  EXPECT_EQ(faulty.write(synced, "kept", error), 4u);
  EXPECT_TRUE(faulty.sync(synced, error));
  EXPECT_EQ(faulty.write(synced, " lost", error), 5u);
  EXPECT_EQ(faulty.write(unsynced, "lost", error), 4u);
  EXPECT_TRUE(faulty.renameAt(directory.directory, "a", "moved", error));
  faulty.dropUnsyncedData();
  EXPECT_EQ(test::readFile(tree.path("moved")), "kept");
  EXPECT_EQ(test::readFile(tree.path("b")), "");
}

TEST_F(FileLayerTest, TheWalkStopsAtLinksAndFilesAndNamesThePlaceAsGiven) {
  tree.mkdir("a/b");
  tree.write("a/file", "x");
  ASSERT_EQ(::symlink(tree.path("a").c_str(), tree.path("link").c_str()), 0);

  EXPECT_TRUE(files.openDirectory(tree.path("a/b"), Links::never));
  EXPECT_TRUE(files.openDirectory(tree.path("link/b"), Links::follow));
  struct Case {
    const char* path;
    Stop stop;
    const char* at;
  };
  for (const Case& c : std::vector<Case>{{"link/b", Stop::symlink, "link"},
                                         {"a/file/c", Stop::notDirectory, "a/file"},
                                         {"a/missing/c", Stop::missing, "a/missing"}}) {
    const fs::Walk walk = files.openDirectory(tree.path(c.path), Links::never);
    EXPECT_EQ(walk.stop, c.stop) << c.path;
    EXPECT_EQ(walk.at, tree.path(c.at)) << c.path;
    EXPECT_FALSE(walk.directory);
  }
}

TEST_F(FileLayerTest, TheMakerCreatesWhatIsMissingWithItsModesAndListsIt) {
  tree.mkdir("a");
  const fs::Walk made =
      files.makeDirectories(tree.path("a/b/c"), {.mode = 0700, .links = Links::never});
  ASSERT_TRUE(made);
  EXPECT_EQ(made.created, (std::vector<std::string>{tree.path("a/b"), tree.path("a/b/c")}));
  EXPECT_EQ(modeOf(tree.path("a/b")), 0755u);
  EXPECT_EQ(modeOf(tree.path("a/b/c")), 0700u);
  const fs::Walk again = files.makeDirectories(tree.path("a/b/c"), {.mode = 0755});
  ASSERT_TRUE(again);
  EXPECT_TRUE(again.created.empty());
  EXPECT_EQ(modeOf(tree.path("a/b/c")), 0700u);  // an existing directory is left as it is

  tree.write("file", "x");
  const fs::Walk blocked = files.makeDirectories(tree.path("file/d"), {.mode = 0755});
  EXPECT_EQ(blocked.stop, Stop::notDirectory);
  EXPECT_EQ(blocked.at, tree.path("file"));
}

// The walk from an open directory: what lies below it, reported under the name given for it;
// nothing above it.
TEST_F(FileLayerTest, TheWalkFromAnOpenDirectoryStaysBelowIt) {
  tree.mkdir("top/a/b");
  tree.mkdir("outside");
  ASSERT_EQ(::symlink(tree.path("outside").c_str(), tree.path("top/link").c_str()), 0);
  fs::Walk top = files.openDirectory(tree.path("top"), Links::never);
  ASSERT_TRUE(top);

  const fs::Walk same = files.walkAt(top.directory, "/shown", "", Links::never, nullptr);
  ASSERT_TRUE(same);
  std::error_code error;
  EXPECT_TRUE(files.status(same.directory, error)->sameFile(*files.status(top.directory, error)));
  EXPECT_TRUE(files.walkAt(top.directory, "/shown", "a//b", Links::never, nullptr));
  EXPECT_TRUE(files.walkAt(top.directory, "/shown", "link", Links::follow, nullptr));

  struct Case {
    const char* relative;
    Links links;
    Stop stop;
    const char* at;
  };
  for (const Case& c :
       std::vector<Case>{{"link", Links::never, Stop::symlink, "/shown/link"},
                         {"link", Links::notFinal, Stop::symlink, "/shown/link"},
                         {"a/missing", Links::never, Stop::missing, "/shown/a/missing"},
                         {"..", Links::follow, Stop::unreachable, "/shown/.."},
                         {"a/../../outside", Links::follow, Stop::unreachable, "/shown/a/.."}}) {
    SCOPED_TRACE(c.relative);
    const fs::Walk walk = files.walkAt(top.directory, "/shown", c.relative, c.links, nullptr);
    EXPECT_EQ(walk.stop, c.stop);
    EXPECT_EQ(walk.at, c.at);
    EXPECT_FALSE(walk.directory);
  }

  const fs::MakeOptions make{.mode = 0700, .links = Links::never};
  const fs::Walk made = files.walkAt(top.directory, "/shown/", "a/c/d", Links::never, &make);
  ASSERT_TRUE(made);
  EXPECT_EQ(made.created, (std::vector<std::string>{"/shown/a/c", "/shown/a/c/d"}));
  EXPECT_EQ(modeOf(tree.path("top/a/c")), 0755u);
  EXPECT_EQ(modeOf(tree.path("top/a/c/d")), 0700u);
  EXPECT_FALSE(files.walkAt(top.directory, "/", "link/new", Links::never, &make));
  EXPECT_FALSE(files.walkAt(top.directory, "/", "../made-above", Links::never, &make));
  EXPECT_TRUE(std::filesystem::is_empty(tree.path("outside")));
  EXPECT_FALSE(test::exists(tree.path("made-above")));
}

// A link's text as stored, whatever its length; the status tells the group too.
TEST_F(FileLayerTest, ALinksTextIsReadAsStoredAndTheStatusHasTheGroup) {
  tree.write("file", "x");
  const std::string longTarget = std::string(600, 'a') + "/" + std::string(200, 'b');
  for (const std::string& target : {std::string("file"), tree.path("file"), longTarget}) {
    ASSERT_EQ(::symlink(target.c_str(), tree.path("link").c_str()), 0);
    const fs::Walk folder = files.openDirectory(tree.root(), Links::never);
    std::error_code error;
    EXPECT_EQ(files.readLinkAt(folder.directory, "link", error), target);
    ASSERT_EQ(::unlink(tree.path("link").c_str()), 0);
  }
  const fs::Walk folder = files.openDirectory(tree.root(), Links::never);
  std::error_code error;
  EXPECT_EQ(files.readLinkAt(folder.directory, "file", error), std::nullopt);
  EXPECT_EQ(error, std::errc::invalid_argument);
  EXPECT_EQ(files.readLinkAt(folder.directory, "missing", error), std::nullopt);
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);

  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(tree.path("file").c_str(), 0, 65534), 0);
  }
  struct stat info {};
  ASSERT_EQ(::stat(tree.path("file").c_str(), &info), 0);
  const std::optional<fs::FileStatus> status = files.statusAt(folder.directory, "file", error);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->group, info.st_gid);
}

// Opening what is there for writing neither creates, nor empties, nor follows a link, nor waits
// for a FIFO's reader.
TEST_F(FileLayerTest, OpeningWhatIsThereForWritingChangesNothingByItself) {
  tree.write("file", "kept");
  ASSERT_EQ(::symlink(tree.path("file").c_str(), tree.path("link").c_str()), 0);
  ASSERT_EQ(::mkfifo(tree.path("fifo").c_str(), 0600), 0);
  const fs::Walk folder = files.openDirectory(tree.root(), Links::never);
  std::error_code error;
  EXPECT_TRUE(files.openForWritingAt(folder.directory, "file", error));
  EXPECT_EQ(test::readFile(tree.path("file")), "kept");
  EXPECT_FALSE(files.openForWritingAt(folder.directory, "missing", error));
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
  EXPECT_FALSE(test::exists(tree.path("missing")));
  EXPECT_FALSE(files.openForWritingAt(folder.directory, "link", error));
  EXPECT_EQ(error, std::errc::too_many_symbolic_link_levels);
  EXPECT_FALSE(files.openForWritingAt(folder.directory, "fifo", error));
  EXPECT_EQ(error, std::errc::no_such_device_or_address);
}

// A path holding a NUL names no file: the system call would see only the text before it, so a
// check made on the whole path would be made on another file than the one touched.
TEST_F(FileLayerTest, APathWithANulNamesNoFile) {
  tree.write("x", "old");
  tree.mkdir("d");
  const std::string nul(1, '\0');
  const std::string file = tree.path("x") + nul + "y";

  EXPECT_THROW(files.writeAtomically(file, "new", {.mode = 0644}), fs::WriteError);
  EXPECT_THROW(files.writeAtomically(tree.path("d") + nul + "/z", "new", {}), fs::WriteError);
  EXPECT_EQ(test::readFile(tree.path("x")), "old");
  EXPECT_FALSE(test::exists(tree.path("d/z")));
  EXPECT_EQ(test::temporaryFiles(tree.root()), std::vector<std::string>{});

  EXPECT_FALSE(files.readFile(file, {.maxBytes = 10}));
  EXPECT_FALSE(files.readFile(file, {.maxBytes = 10, .links = Links::never}));
  std::error_code error;
  EXPECT_FALSE(files.status(file, Links::follow, error));
  EXPECT_EQ(error, std::errc::invalid_argument);
  EXPECT_FALSE(files.list(tree.path("d") + nul + "/e", error));
  EXPECT_FALSE(files.remove(file, error));
  EXPECT_TRUE(test::exists(tree.path("x")));
  EXPECT_FALSE(files.makeDirectories(tree.path("d/n") + nul + "/m", {.mode = 0755}));
  EXPECT_FALSE(test::exists(tree.path("d/n")));
  EXPECT_FALSE(files.openForWriting(file, Links::follow, error));
  EXPECT_EQ(test::readFile(tree.path("x")), "old");
  EXPECT_EQ(files.realPath(file), std::nullopt);
}

// Canonical paths below /private/tmp live below /tmp on this machine; the places on them are
// still named in the canonical spelling.
TEST(PosixFileSystemTest, PrivateTmpPathsLiveBelowTmp) {
  char pattern[] = "/tmp/tavra-fs.XXXXXX";
  if (::mkdtemp(pattern) == nullptr) GTEST_SKIP() << "/tmp is not writable here";
  const std::string host = pattern;
  const std::string canonical = "/private" + host;
  const bool privateExisted = test::exists("/private");
  const PosixFileSystem files;

  const fs::Walk made =
      files.makeDirectories(canonical + "/a/b", {.mode = 0755, .links = Links::never});
  ASSERT_TRUE(made);
  EXPECT_EQ(made.created, (std::vector<std::string>{canonical + "/a", canonical + "/a/b"}));
  files.writeAtomically(canonical + "/a/b/f", "x", {.mode = 0600});
  EXPECT_EQ(test::readFile(host + "/a/b/f"), "x");
  EXPECT_EQ(files.readFile(canonical + "/a/b/f", {.maxBytes = 1, .links = Links::never}).bytes,
            "x");
  std::error_code error;
  EXPECT_TRUE(files.status(canonical + "/a/b/f", Links::notFinal, error));
  EXPECT_EQ(files.list(canonical + "/a/b", error), std::vector<std::string>{"f"});
  const fs::Walk missing = files.openDirectory(canonical + "/a/none/c", Links::never);
  EXPECT_EQ(missing.at, canonical + "/a/none");
  EXPECT_TRUE(files.remove(canonical + "/a/b/f", error));
  EXPECT_FALSE(test::exists(host + "/a/b/f"));

  EXPECT_EQ(test::exists("/private"), privateExisted);
  std::filesystem::remove_all(host, error);
}

}  // namespace
}  // namespace tavra
