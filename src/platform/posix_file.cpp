#include "posix_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace tavra::fs {

namespace {

std::error_code codeOf(int value) noexcept {
  return {value, std::generic_category()};
}

FileStatus statusOf(const struct stat& info) noexcept {
  FileStatus status;
  status.mode = info.st_mode;
  status.owner = info.st_uid;
  status.group = info.st_gid;
  status.device = info.st_dev;
  status.inode = info.st_ino;
  status.size = static_cast<std::int64_t>(info.st_size);
  status.links = static_cast<std::uint64_t>(info.st_nlink);
  status.modified =
      std::chrono::seconds(info.st_mtim.tv_sec) + std::chrono::nanoseconds(info.st_mtim.tv_nsec);
  return status;
}

struct DirectoryCloser {
  void operator()(DIR* directory) const noexcept { ::closedir(directory); }
};
using DirectoryStream = std::unique_ptr<DIR, DirectoryCloser>;

// A stream over the directory open at `fd`. fdopendir takes over its descriptor, so it gets a
// fresh one of the same directory and `fd` keeps its own offset.
DirectoryStream streamOf(int fd, std::error_code& error) noexcept {
  FileDescriptor copy = openAt(fd, ".", O_RDONLY | O_DIRECTORY, 0, error);
  if (!copy) return nullptr;
  DirectoryStream stream(::fdopendir(copy.get()));
  if (!stream) {
    error = lastError();
    return nullptr;
  }
  copy.release();
  return stream;
}

// A path or name holding a NUL: the call would see only the text before it, another file than
// the one named, so it is refused (EINVAL) instead.
bool refusesNul(const std::string& text, std::error_code& error) noexcept {
  if (text.find('\0') == std::string::npos) return false;
  error = codeOf(EINVAL);
  return true;
}

bool isDotOrDotDot(const char* name) noexcept {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

}  // namespace

std::error_code lastError() noexcept {
  return codeOf(errno != 0 ? errno : EIO);
}

FileDescriptor openAt(int dirfd, const std::string& name, int flags, mode_t mode,
                      std::error_code& error) noexcept {
  if (refusesNul(name, error)) return FileDescriptor();
  int fd;
  do {
    fd = ::openat(dirfd, name.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  error = fd < 0 ? lastError() : std::error_code();
  return FileDescriptor(fd);
}

FileDescriptor openWithoutLinks(const std::string& path, int flags,
                                std::error_code& error) noexcept {
#if defined(__linux__) && defined(SYS_openat2)
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
  how.resolve = RESOLVE_NO_SYMLINKS;
  long fd;
  do {
    fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
  } while (fd < 0 && errno == EINTR);
  error = fd < 0 ? lastError() : std::error_code();
  return FileDescriptor(static_cast<int>(fd));
#else
  (void)path;
  (void)flags;
  error = codeOf(ENOSYS);
  return {};
#endif
}

std::optional<FileStatus> statAt(int dirfd, const std::string& name, bool followLinks,
                                 std::error_code& error) noexcept {
  if (refusesNul(name, error)) return std::nullopt;
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

std::optional<std::string> readLinkAt(int dirfd, const std::string& name, std::error_code& error) {
  if (refusesNul(name, error)) return std::nullopt;
  std::string target(256, '\0');
  for (;;) {
    const ssize_t count = ::readlinkat(dirfd, name.c_str(), target.data(), target.size());
    if (count < 0) {
      error = lastError();
      return std::nullopt;
    }
    // A result that fills the buffer may have been cut short: ask again with more room.
    if (static_cast<std::size_t>(count) < target.size()) {
      target.resize(static_cast<std::size_t>(count));
      error.clear();
      return target;
    }
    if (target.size() >= maxLinkBytes) {
      error = codeOf(ENAMETOOLONG);
      return std::nullopt;
    }
    target.resize(target.size() * 4);
  }
}

bool makeDirectoryAt(int dirfd, const std::string& name, mode_t mode,
                     std::error_code& error) noexcept {
  if (refusesNul(name, error)) return false;
  const bool ok = ::mkdirat(dirfd, name.c_str(), mode) == 0;
  error = ok ? std::error_code() : lastError();
  return ok;
}

bool renameAt(int fromDir, const std::string& from, int toDir, const std::string& to,
              std::error_code& error) noexcept {
  if (refusesNul(from, error) || refusesNul(to, error)) return false;
  const bool ok = ::renameat(fromDir, from.c_str(), toDir, to.c_str()) == 0;
  error = ok ? std::error_code() : lastError();
  return ok;
}

bool unlinkAt(int dirfd, const std::string& name, bool directory, std::error_code& error) noexcept {
  if (refusesNul(name, error)) return false;
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

bool sync(int fd, std::error_code& error) noexcept {
  int result;
  do {
    result = ::fsync(fd);
  } while (result != 0 && errno == EINTR);
  error = result == 0 ? std::error_code() : lastError();
  return result == 0;
}

std::size_t writeSome(int fd, std::string_view data, std::error_code& error) noexcept {
  for (;;) {
    errno = 0;
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 1) {
      error = lastError();
      return 0;
    }
    error.clear();
    return static_cast<std::size_t>(written);
  }
}

bool writeAll(int fd, std::string_view data, std::error_code& error) noexcept {
  while (!data.empty()) {
    const std::size_t written = writeSome(fd, data, error);
    if (written == 0) return false;
    data.remove_prefix(written);
  }
  error.clear();
  return true;
}

std::optional<std::string> readAll(int fd, std::int64_t limit, std::error_code& error,
                                   std::int64_t size) {
  std::string content;
  if (!readInto(fd, limit, size, content, error)) return std::nullopt;
  return content;
}

bool readInto(int fd, std::int64_t limit, std::int64_t size, std::string& into,
              std::error_code& error) {
  into.clear();
  if (size > 0 && size <= limit) {
    // The common case: the file is as large as its status said, and one read takes it whole.
    into.resize(static_cast<std::size_t>(size));
    std::size_t got = 0;
    while (got < into.size()) {
      const ssize_t count = ::read(fd, into.data() + got, into.size() - got);
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) {
        error = lastError();
        return false;
      }
      if (count == 0) break;  // it shrank: its end is here
      got += static_cast<std::size_t>(count);
    }
    into.resize(got);
    error.clear();
    return true;
  }
  char buffer[65536];
  for (;;) {
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0) {
      if (errno == EINTR) continue;
      error = lastError();
      return false;
    }
    if (count == 0) break;
    if (static_cast<std::int64_t>(into.size()) + count > limit) {
      error = codeOf(EFBIG);
      return false;
    }
    into.append(buffer, static_cast<std::size_t>(count));
  }
  error.clear();
  return true;
}

std::optional<std::vector<std::string>> listDirectory(int fd, std::error_code& error) {
  const DirectoryStream stream = streamOf(fd, error);
  if (!stream) return std::nullopt;
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(stream.get())) {
    if (!isDotOrDotDot(entry->d_name)) names.emplace_back(entry->d_name);
  }
  if (errno != 0) {
    error = lastError();
    return std::nullopt;
  }
  error.clear();
  return names;
}

std::optional<bool> isEmptyDirectory(int fd, std::error_code& error) noexcept {
  const DirectoryStream stream = streamOf(fd, error);
  if (!stream) return std::nullopt;
  errno = 0;
  while (const dirent* entry = ::readdir(stream.get())) {
    if (!isDotOrDotDot(entry->d_name)) {
      error.clear();
      return false;
    }
  }
  if (errno != 0) {
    error = lastError();
    return std::nullopt;
  }
  error.clear();
  return true;
}

std::optional<std::string> resolvedPath(const std::string& path) {
  std::error_code ignored;
  if (refusesNul(path, ignored)) return std::nullopt;
  const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                         &std::free);
  if (!real) return std::nullopt;
  return std::string(real.get());
}

std::optional<std::string> currentDirectory() {
  const std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
  if (!cwd) return std::nullopt;
  return std::string(cwd.get());
}

}  // namespace tavra::fs
