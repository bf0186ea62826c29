// Private to the file applier: reaching a directory without following links, and the atomic
// write relative to a directory descriptor.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "tavra/platform/file_system.h"

namespace tavra::applier {

// A path split into its directory text and its last non-empty component ("/a/b/" gives "/a"
// and "b"; "/a" gives "/" and "a").
struct PathParts {
  std::string directory;
  std::string name;
};
PathParts splitPath(std::string_view path);

// `directory` joined with `name` by one "/".
std::string joinPath(std::string_view directory, std::string_view name);

// Where a walk stopped short of its directory.
enum class Stop { none, missing, symlink, notDirectory, unreachable };

struct Walk {
  fs::FileDescriptor directory;  // open when stop is none
  Stop stop = Stop::none;
  std::string at;  // the path of the component that stopped the walk
  std::error_code error;
};

// Opens `directoryPath` from "/" one component at a time with O_NOFOLLOW | O_DIRECTORY, so no
// link anywhere on the way is followed, even one swapped in while walking. Never throws.
Walk walkDirectory(std::string_view directoryPath);

// The same walk, creating missing components (mkdirat, then exactly `mode` and, when
// `rootOwnership`, owner 0:0, both through the new directory's own descriptor). Each directory
// created is appended to `created` as soon as it exists. Throws TavraError::io
// "<path> is a symlink; refusing to write through it" or "<path> is not a directory", and a
// std::system_error when a directory cannot be created or opened.
fs::FileDescriptor makeDirectoryWalk(std::string_view directoryPath, std::uint16_t mode,
                                     bool rootOwnership, std::vector<std::string>& created);

// The atomic write into the directory open at `directory` (whose path text is
// `directoryText`): temporary ".tavra-<UUID>" created with O_CREAT | O_EXCL | O_NOFOLLOW, all
// bytes, fchown when `rootOwnership`, fchmod, fsync, renameat onto `name`. `target` is the path
// text the messages name.
void writeAtomicallyAt(int directory, const std::string& directoryText, const std::string& name,
                       const std::string& target, std::string_view data, std::uint16_t mode,
                       bool rootOwnership);

}  // namespace tavra::applier

namespace tavra::applier {

// A regular file at a target, read through a no-follow descriptor.
struct FileInfo {
  std::string sha256;
  std::uint16_t mode = 0;  // permission bits (07777)
  bool rootOwned = false;
  std::string content;
};

// The probe of a canonical target: nothing when it is absent or unreachable without following
// a link; throws TavraError::io "<p> exists but is not a regular file (symlink or directory);
// refusing to touch it" or "cannot read <p>".
std::optional<FileInfo> currentFile(const std::string& path, std::int64_t limit);

// The status of a target reached without following any link, or nothing.
std::optional<fs::FileStatus> targetStatus(const std::string& path);

// A whole regular file of the applier's own directories (links there are followed, as the
// support directory is the administrator's), with its permission bits; nothing on any failure.
struct OwnFile {
  std::string content;
  std::uint16_t mode = 0;
};
std::optional<OwnFile> readOwnFile(const std::string& path, std::int64_t limit);

}  // namespace tavra::applier
