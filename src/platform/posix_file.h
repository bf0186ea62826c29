// The thin wrappers over the POSIX file calls that PosixFileSystem is built from.
//
// Each call reports a failure through a std::error_code (generic category, the errno value) and
// never throws; interrupted calls are repeated; every descriptor is opened close-on-exec; a path
// or name that holds a NUL is refused with EINVAL (the system would see only the text before it,
// and so another file). Only the platform layer and its tests use these: the rest of the system
// reaches files through a FileSystem, so that tests can put a fault-injecting one in its place.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "tavra/platform/file_system.h"

namespace tavra::fs {

// The error code of errno as it stands (EIO when errno holds no error).
std::error_code lastError() noexcept;

// openat(dirfd, name, flags | O_CLOEXEC, mode). `dirfd` may be AT_FDCWD.
FileDescriptor openAt(int dirfd, const std::string& name, int flags, mode_t mode,
                      std::error_code& error) noexcept;
// Opens `path` (relative to the working directory, or absolute) refusing a symbolic link
// anywhere on it, in one call (openat2 with RESOLVE_NO_SYMLINKS). Fails with ENOSYS where the
// kernel has no such call; callers then walk the path one directory at a time.
FileDescriptor openWithoutLinks(const std::string& path, int flags,
                                std::error_code& error) noexcept;
// fstatat; with `followLinks` false a final link is reported as the link itself.
std::optional<FileStatus> statAt(int dirfd, const std::string& name, bool followLinks,
                                 std::error_code& error) noexcept;
std::optional<FileStatus> stat(int fd, std::error_code& error) noexcept;
// The text of the symbolic link `name` (readlinkat); a text of maxLinkBytes or more fails with
// ENAMETOOLONG.
inline constexpr std::size_t maxLinkBytes = 65536;
std::optional<std::string> readLinkAt(int dirfd, const std::string& name, std::error_code& error);

bool makeDirectoryAt(int dirfd, const std::string& name, mode_t mode,
                     std::error_code& error) noexcept;
bool renameAt(int fromDir, const std::string& from, int toDir, const std::string& to,
              std::error_code& error) noexcept;
// unlinkat; with `directory` set only an empty directory is removed (AT_REMOVEDIR).
bool unlinkAt(int dirfd, const std::string& name, bool directory, std::error_code& error) noexcept;

bool changeMode(int fd, mode_t mode, std::error_code& error) noexcept;
bool changeOwner(int fd, uid_t owner, gid_t group, std::error_code& error) noexcept;
bool sync(int fd, std::error_code& error) noexcept;

// One write(2): the bytes written (at least one), or 0 with the error.
std::size_t writeSome(int fd, std::string_view data, std::error_code& error) noexcept;
// Writes every byte, repeating short writes; a write that writes nothing fails.
bool writeAll(int fd, std::string_view data, std::error_code& error) noexcept;
// Reads from the current offset to the end. More than `limit` bytes fail with EFBIG, so a huge
// or growing file cannot exhaust memory. With `size` (what the file's status gave, up to
// `limit`) the bytes are read straight into place and the read ends once it has that many.
std::optional<std::string> readAll(int fd, std::int64_t limit, std::error_code& error,
                                   std::int64_t size = 0);
// The same into `into`, whose content is replaced and whose room is used; false on failure.
bool readInto(int fd, std::int64_t limit, std::int64_t size, std::string& into,
              std::error_code& error);

// The names in the directory open at `fd`, without "." and "..", in the listing's order. The
// descriptor's own offset is left alone (a duplicate is read).
std::optional<std::vector<std::string>> listDirectory(int fd, std::error_code& error);
// Whether the directory open at `fd` has no entries besides "." and "..".
std::optional<bool> isEmptyDirectory(int fd, std::error_code& error) noexcept;

// realpath(3) and getcwd(3).
std::optional<std::string> resolvedPath(const std::string& path);
std::optional<std::string> currentDirectory();

}  // namespace tavra::fs
