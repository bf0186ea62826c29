#include "posix_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/temp_tree.h"

namespace tavra::fs {
namespace {

bool isOpen(int fd) {
  return fcntl(fd, F_GETFD) != -1;
}

TEST(FileDescriptorTest, OwnsClosesAndMoves) {
  int raw;
  {
    FileDescriptor fd(::open("/", O_RDONLY | O_DIRECTORY));
    raw = fd.get();
    ASSERT_TRUE(fd.valid());
    ASSERT_TRUE(isOpen(raw));

    FileDescriptor moved(std::move(fd));
    EXPECT_FALSE(fd.valid());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(moved.get(), raw);

    FileDescriptor assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.get(), raw);
    EXPECT_TRUE(isOpen(raw));
  }
  EXPECT_FALSE(isOpen(raw));

  FileDescriptor fd(::open("/", O_RDONLY | O_DIRECTORY));
  const int released = fd.release();
  EXPECT_FALSE(fd.valid());
  EXPECT_TRUE(isOpen(released));
  fd.reset(released);
  fd.reset();
  EXPECT_FALSE(isOpen(released));
  EXPECT_FALSE(FileDescriptor().valid());
}

TEST(FileDescriptorTest, MoveAssignmentClosesTheOldDescriptor) {
  FileDescriptor first(::open("/", O_RDONLY | O_DIRECTORY));
  FileDescriptor second(::open("/", O_RDONLY | O_DIRECTORY));
  const int old = first.get();
  first = std::move(second);
  EXPECT_FALSE(isOpen(old));
  EXPECT_TRUE(first.valid());
}

TEST(FileSystemTest, ErrorsCarryTheErrnoAndTheSystemText) {
  std::error_code error;
  EXPECT_FALSE(openAt(AT_FDCWD, "/nonexistent/tavra", O_RDONLY, 0, error));
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
  const std::system_error thrown = systemError(error, "cannot open /nonexistent/tavra");
  EXPECT_STREQ(thrown.what(), "cannot open /nonexistent/tavra: No such file or directory");
  EXPECT_EQ(thrown.code(), error);

  errno = 0;
  EXPECT_EQ(lastError(), std::errc::io_error);
}

TEST(FileSystemTest, OpensCloseOnExecAndRefusesALinkWithNoFollow) {
  test::TempTree tree;
  tree.write("file", "x");
  ASSERT_EQ(symlink("file", tree.path("link").c_str()), 0);
  std::error_code error;
  FileDescriptor file = openAt(AT_FDCWD, tree.path("file"), O_RDONLY, 0, error);
  ASSERT_TRUE(file);
  EXPECT_TRUE(fcntl(file.get(), F_GETFD) & FD_CLOEXEC);
  EXPECT_FALSE(openAt(AT_FDCWD, tree.path("link"), O_RDONLY | O_NOFOLLOW, 0, error));
  EXPECT_EQ(error, std::errc::too_many_symbolic_link_levels);

  const auto link = statAt(AT_FDCWD, tree.path("link"), false, error);
  ASSERT_TRUE(link);
  EXPECT_TRUE(link->isSymlink());
  const auto target = statAt(AT_FDCWD, tree.path("link"), true, error);
  ASSERT_TRUE(target);
  EXPECT_TRUE(target->isRegular());
  EXPECT_TRUE(target->sameFile(*stat(file.get(), error)));
  EXPECT_EQ(target->links, 1u);
  ASSERT_EQ(::link(tree.path("file").c_str(), tree.path("second name").c_str()), 0);
  EXPECT_EQ(stat(file.get(), error)->links, 2u);
}

// One call opens a path with no link on it, and refuses one with a link anywhere (where the kernel
// has no such call it says so, and callers walk the path instead).
TEST(FileSystemTest, OpenWithoutLinksRefusesALinkAnywhere) {
  test::TempTree tree;
  tree.mkdir("a/b");
  ASSERT_EQ(symlink("a", tree.path("link").c_str()), 0);
  std::error_code error;
  const FileDescriptor plain = openWithoutLinks(tree.path("a/b"), O_RDONLY | O_DIRECTORY, error);
  if (!plain && error == std::errc::function_not_supported) GTEST_SKIP() << "no openat2 here";
  ASSERT_TRUE(plain) << error.message();
  EXPECT_TRUE(fcntl(plain.get(), F_GETFD) & FD_CLOEXEC);
  for (const char* linked : {"link", "link/b"}) {
    EXPECT_FALSE(openWithoutLinks(tree.path(linked), O_RDONLY | O_DIRECTORY, error)) << linked;
    EXPECT_EQ(error, std::errc::too_many_symbolic_link_levels) << linked;
  }
}

TEST(FileSystemTest, ReadAllStopsAtTheLimit) {
  test::TempTree tree;
  const std::string bytes(200000, 'a');
  tree.write("big", bytes);
  std::error_code error;
  FileDescriptor file = openAt(AT_FDCWD, tree.path("big"), O_RDONLY, 0, error);
  EXPECT_EQ(readAll(file.get(), 200000, error), bytes);

  file = openAt(AT_FDCWD, tree.path("big"), O_RDONLY, 0, error);
  EXPECT_FALSE(readAll(file.get(), 199999, error));
  EXPECT_EQ(error, std::errc::file_too_large);
}

// With the size the file's status gave, the read ends once it has that many bytes; a file that
// shrank since ends where it ends now.
TEST(FileSystemTest, ReadAllTakesTheSizeItWasGiven) {
  test::TempTree tree;
  const std::string bytes(200000, 'b');
  tree.write("big", bytes);
  for (const auto& [size, expected] : std::vector<std::pair<std::int64_t, std::size_t>>{
           {200000, 200000}, {1000, 1000}, {300000, 200000}, {0, 200000}}) {
    std::error_code error;
    FileDescriptor file = openAt(AT_FDCWD, tree.path("big"), O_RDONLY, 0, error);
    EXPECT_EQ(readAll(file.get(), 400000, error, size), bytes.substr(0, expected)) << size;
  }
}

TEST(FileSystemTest, WriteAllWritesEverythingAndReportsFailure) {
  test::TempTree tree;
  std::error_code error;
  FileDescriptor file = openAt(AT_FDCWD, tree.path("out"), O_WRONLY | O_CREAT, 0600, error);
  const std::string bytes(300000, 'z');
  ASSERT_TRUE(writeAll(file.get(), bytes, error));
  EXPECT_EQ(test::readFile(tree.path("out")), bytes);

  FileDescriptor readOnly = openAt(AT_FDCWD, tree.path("out"), O_RDONLY, 0, error);
  EXPECT_FALSE(writeAll(readOnly.get(), "x", error));
  EXPECT_EQ(error, std::errc::bad_file_descriptor);
}

TEST(FileSystemTest, EmptyDirectoryCountsHiddenEntries) {
  test::TempTree tree;
  tree.mkdir("empty");
  tree.write("hidden/.x", "");
  std::error_code error;
  FileDescriptor empty = openAt(AT_FDCWD, tree.path("empty"), O_RDONLY | O_DIRECTORY, 0, error);
  EXPECT_EQ(isEmptyDirectory(empty.get(), error), true);
  EXPECT_EQ(isEmptyDirectory(empty.get(), error), true);  // the descriptor stays usable
  FileDescriptor hidden = openAt(AT_FDCWD, tree.path("hidden"), O_RDONLY | O_DIRECTORY, 0, error);
  EXPECT_EQ(isEmptyDirectory(hidden.get(), error), false);
}

TEST(FileSystemTest, DirectoryCallsWorkRelativeToADescriptor) {
  test::TempTree tree;
  std::error_code error;
  FileDescriptor root = openAt(AT_FDCWD, tree.root(), O_RDONLY | O_DIRECTORY, 0, error);
  ASSERT_TRUE(makeDirectoryAt(root.get(), "d", 0700, error));
  EXPECT_FALSE(makeDirectoryAt(root.get(), "d", 0700, error));
  EXPECT_EQ(error, std::errc::file_exists);
  tree.write("f", "1");
  ASSERT_TRUE(renameAt(root.get(), "f", root.get(), "g", error));
  EXPECT_FALSE(test::exists(tree.path("f")));
  EXPECT_FALSE(unlinkAt(root.get(), "d", false, error));
  EXPECT_TRUE(unlinkAt(root.get(), "d", true, error));
  EXPECT_TRUE(unlinkAt(root.get(), "g", false, error));
  EXPECT_FALSE(test::exists(tree.path("g")));
}

}  // namespace
}  // namespace tavra::fs
