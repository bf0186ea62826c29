#include "output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <stdexcept>
#include <vector>

#include "tavra/path_policy.h"
#include "tavra/platform/host_path.h"

namespace tavra::ctl {
namespace {

constexpr std::uint16_t outputMode = 0644;

std::system_error cannotWrite(const std::string& path, const std::error_code& error) {
  return fs::systemError(error, "cannot write " + path);
}

std::runtime_error refused(const std::string& path, const std::string& reason) {
  return std::runtime_error("cannot write " + path + ": " + reason);
}

// The folder of an output file, open, and what is at the file's name in it.
struct Place {
  fs::FileDescriptor folder;
  std::string name;
  std::optional<fs::FileStatus> existing;
};

// Whether `owner` is root or the user running the tool.
bool trusted(std::uint32_t owner) {
  return owner == 0 || owner == ::getuid() || owner == ::geteuid();
}

// Whether a symbolic link in `folder` may be followed on the way to the output's folder: only
// where no other user could have put it or can swap it, that is in a folder of root or of the
// user running the tool that nobody else can write, or in a sticky folder (/tmp) when the link
// itself is theirs. Anywhere else another user would choose where the file goes.
bool mayFollow(const fs::FileStatus& folder, const fs::FileStatus& link) {
  if (!trusted(folder.owner)) return false;
  if ((folder.mode & (S_IWGRP | S_IWOTH)) == 0) return true;
  return (folder.mode & S_ISVTX) != 0 && trusted(link.owner);
}

// The folder `directory` of the output `path`, opened from the root (or, for a relative one,
// the working directory) one component at a time, never letting the system follow a link: a
// link on the way is followed by hand where mayFollow() allows it, and a link as the folder's
// own last component is refused.
fs::FileDescriptor openFolder(const FileSystem& files, const std::string& path,
                              const std::string& directory) {
  constexpr int maxLinks = 32;
  // A relative path starts where the tool was started, as the administrator gave it.
  const bool absolute = directory.starts_with("/");
  const std::vector<std::string> given =
      fs::pathComponents(absolute ? hostPath(PathPolicy::canonical(directory)) : directory);
  std::deque<std::string> pending(given.begin(), given.end());
  const auto open = [&](const std::string& start) {
    fs::Walk top = files.openDirectory(start, fs::Links::never);
    if (!top) throw cannotWrite(path, top.error);
    return std::move(top.directory);
  };
  const auto root = [&] { return open("/"); };
  fs::FileDescriptor current = absolute ? root() : open(".");
  std::string at = absolute ? "" : ".";
  int links = 0;
  while (!pending.empty()) {
    const std::string name = std::move(pending.front());
    pending.pop_front();
    std::error_code error;
    fs::FileDescriptor next = files.openDirectoryAt(current, name, error);
    if (next) {
      current = std::move(next);
      at = fs::joinPath(at.empty() ? "/" : at, name);
      continue;
    }
    std::error_code lookError;
    const std::optional<fs::FileStatus> entry = files.statusAt(current, name, lookError);
    if (!entry || !entry->isSymlink()) throw cannotWrite(path, error);
    const std::string shown = fs::joinPath(at.empty() ? "/" : at, name);
    if (pending.empty()) throw refused(path, "its folder " + directory + " is a symbolic link");
    const std::optional<fs::FileStatus> holder = files.status(current, lookError);
    if (!holder || !mayFollow(*holder, *entry)) {
      throw refused(path, "the symbolic link " + shown +
                              " on its way lies in a folder other users can write");
    }
    const std::optional<std::string> target = files.readLinkAt(current, name, lookError);
    if (++links > maxLinks || !target || target->empty()) {
      throw cannotWrite(path, std::make_error_code(std::errc::too_many_symbolic_link_levels));
    }
    if (target->front() == '/') {
      current = root();
      at.clear();
    }
    const std::vector<std::string> more = fs::pathComponents(*target);
    pending.insert(pending.begin(), more.begin(), more.end());
  }
  return current;
}

Place placeOf(const FileSystem& files, const std::string& path) {
  fs::PathParts parts = fs::splitPath(path);
  fs::FileDescriptor folder = openFolder(files, path, parts.directory);
  std::error_code error;
  std::optional<fs::FileStatus> existing = files.statusAt(folder, parts.name, error);
  if (!existing && error != std::errc::no_such_file_or_directory) throw cannotWrite(path, error);
  if (existing) {
    if (existing->isSymlink()) throw refused(path, "it is a symbolic link");
    if (existing->isDirectory()) {
      throw cannotWrite(path, std::make_error_code(std::errc::is_a_directory));
    }
    if (existing->links > 1) {
      throw refused(path, "it has " + std::to_string(existing->links) + " links");
    }
  }
  return {std::move(folder), std::move(parts.name), existing};
}

void replace(const FileSystem& files, const Place& place, const std::string& path,
             std::string_view bytes) {
  files.writeAtomicallyAt(place.folder, path, bytes, {.mode = outputMode});
}

// Writes every byte into `target`, waiting for a slow reader.
void writeAll(const FileSystem& files, const fs::FileDescriptor& target, const std::string& path,
              std::string_view bytes) {
  std::error_code error;
  while (!bytes.empty()) {
    const std::size_t written = files.write(target, bytes, error);
    if (written == 0)
      throw cannotWrite(path, error ? error : std::make_error_code(std::errc::io_error));
    bytes.remove_prefix(std::min(written, bytes.size()));
  }
}

}  // namespace

void writeOutputFile(const FileSystem& files, const std::string& path, std::string_view bytes) {
  const Place place = placeOf(files, path);
  if (place.existing && !place.existing->isRegular()) {
    // A pipe or device takes the bytes as standard output would. What the open found is looked
    // at again: a file put there meanwhile is not written through but replaced like any other.
    std::error_code error;
    const fs::FileDescriptor target = files.openForWritingAt(place.folder, place.name, error);
    if (!target) throw cannotWrite(path, error);
    const std::optional<fs::FileStatus> opened = files.status(target, error);
    if (!opened) throw cannotWrite(path, error);
    if (!opened->isRegular()) {
      writeAll(files, target, path, bytes);
      return;
    }
  }
  replace(files, place, path, bytes);
}

void replaceOutputFile(const FileSystem& files, const std::string& path, std::string_view bytes) {
  replace(files, placeOf(files, path), path, bytes);
}

}  // namespace tavra::ctl
