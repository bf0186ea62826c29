#include "tavra/platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tavra::fs {

namespace {

std::error_code codeOf(int value) noexcept {
  return {value, std::generic_category()};
}

FileStatus statusOf(const struct stat& info) noexcept {
  FileStatus status;
  status.mode = info.st_mode;
  status.owner = info.st_uid;
  status.device = info.st_dev;
  status.inode = info.st_ino;
  status.size = static_cast<std::int64_t>(info.st_size);
  return status;
}

}  // namespace

std::system_error systemError(const std::error_code& error, const std::string& context) {
  return std::system_error(error, context);
}

std::error_code lastError() noexcept {
  return codeOf(errno != 0 ? errno : EIO);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int FileDescriptor::release() noexcept {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void FileDescriptor::reset(int fd) noexcept {
  if (fd_ >= 0 && fd_ != fd) ::close(fd_);
  fd_ = fd;
}

bool FileStatus::isRegular() const noexcept {
  return S_ISREG(mode);
}
bool FileStatus::isDirectory() const noexcept {
  return S_ISDIR(mode);
}
bool FileStatus::isSymlink() const noexcept {
  return S_ISLNK(mode);
}

FileDescriptor openAt(int dirfd, const std::string& name, int flags, mode_t mode,
                      std::error_code& error) noexcept {
  int fd;
  do {
    fd = ::openat(dirfd, name.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  error = fd < 0 ? lastError() : std::error_code();
  return FileDescriptor(fd);
}

std::optional<FileStatus> statAt(int dirfd, const std::string& name, bool followLinks,
                                 std::error_code& error) noexcept {
  struct stat info {};
  if (::fstatat(dirfd, name.c_str(), &info, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
    error = lastError();
    return std::nullopt;
  }
  error.clear();
  return statusOf(info);
}

std::optional<FileStatus> stat(int fd, std::error_code& error) noexcept {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    error = lastError();
    return std::nullopt;
  }
  error.clear();
  return statusOf(info);
}

bool makeDirectoryAt(int dirfd, const std::string& name, mode_t mode,
                     std::error_code& error) noexcept {
  const bool ok = ::mkdirat(dirfd, name.c_str(), mode) == 0;
  error = ok ? std::error_code() : lastError();
  return ok;
}

bool renameAt(int fromDir, const std::string& from, int toDir, const std::string& to,
              std::error_code& error) noexcept {
  const bool ok = ::renameat(fromDir, from.c_str(), toDir, to.c_str()) == 0;
  error = ok ? std::error_code() : lastError();
  return ok;
}

bool unlinkAt(int dirfd, const std::string& name, bool directory, std::error_code& error) noexcept {
  const bool ok = ::unlinkat(dirfd, name.c_str(), directory ? AT_REMOVEDIR : 0) == 0;
  error = ok ? std::error_code() : lastError();
  return ok;
}

bool changeMode(int fd, mode_t mode, std::error_code& error) noexcept {
  const bool ok = ::fchmod(fd, mode) == 0;
  error = ok ? std::error_code() : lastError();
  return ok;
}

bool changeOwner(int fd, uid_t owner, gid_t group, std::error_code& error) noexcept {
  const bool ok = ::fchown(fd, owner, group) == 0;
  error = ok ? std::error_code() : lastError();
  return ok;
}

bool changeOwner(const std::string& path, uid_t owner, gid_t group,
                 std::error_code& error) noexcept {
  const bool ok = ::chown(path.c_str(), owner, group) == 0;
  error = ok ? std::error_code() : lastError();
  return ok;
}

bool sync(int fd, std::error_code& error) noexcept {
  int result;
  do {
    result = ::fsync(fd);
  } while (result != 0 && errno == EINTR);
  error = result == 0 ? std::error_code() : lastError();
  return result == 0;
}

bool writeAll(int fd, std::string_view data, std::error_code& error) noexcept {
  while (!data.empty()) {
    errno = 0;
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 1) {
      error = lastError();
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  error.clear();
  return true;
}

std::optional<std::string> readAll(int fd, std::int64_t limit, std::error_code& error) {
  std::string content;
  char buffer[65536];
  for (;;) {
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0) {
      if (errno == EINTR) continue;
      error = lastError();
      return std::nullopt;
    }
    if (count == 0) break;
    if (static_cast<std::int64_t>(content.size()) + count > limit) {
      error = codeOf(EFBIG);
      return std::nullopt;
    }
    content.append(buffer, static_cast<std::size_t>(count));
  }
  error.clear();
  return content;
}

std::optional<bool> isEmptyDirectory(int fd, std::error_code& error) noexcept {
  // fdopendir takes over its descriptor, so it gets a fresh one of the same directory.
  FileDescriptor copy = openAt(fd, ".", O_RDONLY | O_DIRECTORY, 0, error);
  if (!copy) return std::nullopt;
  DIR* directory = ::fdopendir(copy.get());
  if (directory == nullptr) {
    error = lastError();
    return std::nullopt;
  }
  copy.release();
  bool empty = true;
  errno = 0;
  while (const dirent* entry = ::readdir(directory)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      empty = false;
      break;
    }
  }
  const int readError = errno;
  ::closedir(directory);
  if (empty && readError != 0) {
    error = codeOf(readError);
    return std::nullopt;
  }
  error.clear();
  return empty;
}

}  // namespace tavra::fs
