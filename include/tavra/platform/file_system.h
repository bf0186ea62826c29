// The POSIX file calls the file applier stands on, as thin wrappers.
//
// Calls that callers must tell apart by cause report through a std::error_code (generic
// category, holding the errno value) and never throw; systemError() is the one place an errno
// value becomes an exception (std::system_error whose text is the context, ": " and the
// system's error text). Every descriptor is opened close-on-exec and owned by a FileDescriptor.
// No state of its own; safe to use from any thread (the usual POSIX rules for the descriptors).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace tavra::fs {

// The exception of a failed system call: `context` followed by ": " and the system's text.
std::system_error systemError(const std::error_code& error, const std::string& context);
// The error code of errno as it stands (EIO when errno holds no error).
std::error_code lastError() noexcept;

// A move-only owner of one open file descriptor; closes it when destroyed or reset.
class FileDescriptor {
 public:
  FileDescriptor() noexcept = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return valid(); }
  // Gives up ownership without closing.
  int release() noexcept;
  // Closes the descriptor now (the result of close is ignored) and holds `fd` instead.
  void reset(int fd = -1) noexcept;

 private:
  int fd_ = -1;
};

// What fstat/fstatat tell about one file.
struct FileStatus {
  mode_t mode = 0;  // type and permission bits
  uid_t owner = 0;
  dev_t device = 0;
  ino_t inode = 0;
  std::int64_t size = 0;

  bool isRegular() const noexcept;
  bool isDirectory() const noexcept;
  bool isSymlink() const noexcept;
  std::uint16_t permissions() const noexcept { return std::uint16_t(mode & 07777); }
  bool sameFile(const FileStatus& other) const noexcept {
    return device == other.device && inode == other.inode;
  }
};

// openat(dirfd, name, flags | O_CLOEXEC, mode). `dirfd` may be AT_FDCWD.
FileDescriptor openAt(int dirfd, const std::string& name, int flags, mode_t mode,
                      std::error_code& error) noexcept;
// fstatat; with `followLinks` false a final link is reported as the link itself.
std::optional<FileStatus> statAt(int dirfd, const std::string& name, bool followLinks,
                                 std::error_code& error) noexcept;
std::optional<FileStatus> stat(int fd, std::error_code& error) noexcept;

bool makeDirectoryAt(int dirfd, const std::string& name, mode_t mode,
                     std::error_code& error) noexcept;
bool renameAt(int fromDir, const std::string& from, int toDir, const std::string& to,
              std::error_code& error) noexcept;
// unlinkat; with `directory` set only an empty directory is removed (AT_REMOVEDIR).
bool unlinkAt(int dirfd, const std::string& name, bool directory, std::error_code& error) noexcept;

bool changeMode(int fd, mode_t mode, std::error_code& error) noexcept;
bool changeOwner(int fd, uid_t owner, gid_t group, std::error_code& error) noexcept;
// chown by path, following links.
bool changeOwner(const std::string& path, uid_t owner, gid_t group,
                 std::error_code& error) noexcept;
bool sync(int fd, std::error_code& error) noexcept;

// Writes every byte, repeating short writes; a write that writes nothing fails.
bool writeAll(int fd, std::string_view data, std::error_code& error) noexcept;
// Reads from the current offset to the end. More than `limit` bytes fail with EFBIG, so a huge
// or growing file cannot exhaust memory.
std::optional<std::string> readAll(int fd, std::int64_t limit, std::error_code& error);

// Whether the directory open at `fd` has no entries besides "." and "..". The descriptor's own
// offset is left alone (a duplicate is read).
std::optional<bool> isEmptyDirectory(int fd, std::error_code& error) noexcept;

}  // namespace tavra::fs
