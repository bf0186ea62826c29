#include "reconcile/discovery_reader.h"

#include <algorithm>
#include <deque>

namespace tavra::discovery {
namespace {

constexpr unsigned readBit = 4;
constexpr unsigned searchBit = 1;
// Group or others may write.
constexpr unsigned othersWrite = 022;
// A uid no file can have (chown takes it as "unchanged"): only the others' bits count for it.
constexpr std::uint32_t anyone = 0xFFFFFFFF;

std::string joined(const std::vector<std::string>& components) {
  std::string path;
  for (const std::string& component : components) path.append(1, '/').append(component);
  return path.empty() ? "/" : path;
}

}  // namespace

// ---- SystemReader ----

std::optional<fs::FileStatus> SystemReader::status(const std::string& path) const {
  return reader_.status(path);
}

std::optional<std::vector<std::string>> SystemReader::list(const std::string& path) const {
  return reader_.list(path);
}

std::optional<std::string> SystemReader::read(const std::string& path) const {
  return reader_.read(path);
}

std::optional<std::string> SystemReader::resolve(const std::string& path) const {
  return reader_.resolve(path);
}

// ---- UserReader ----

UserReader::UserReader(const FileSystem& files, Identity identity, const std::string& home)
    : files_(files), identity_(std::move(identity)), homePath_(home) {}

// The owner's bits for the owner, else the group's for a member of the file's group, else the
// others' bits, as the system decides; uid 0 passes, as the system lets it.
bool UserReader::permits(const Identity& as, const fs::FileStatus& status, unsigned bits) {
  if (as.uid == 0) return true;
  unsigned granted = status.mode & 07;
  if (status.owner == as.uid) {
    granted = (status.mode >> 6) & 07;
  } else if (std::find(as.groups.begin(), as.groups.end(), status.group) != as.groups.end()) {
    granted = (status.mode >> 3) & 07;
  }
  return (granted & bits) == bits;
}

void UserReader::narrow(Identity& as, const fs::FileStatus& directory) {
  if (as.uid != 0 && !as.narrowed) return;  // a user's own view stays that user's
  if (as.uid == anyone) return;
  const bool openToOthers = (directory.mode & othersWrite) != 0;
  if (!openToOthers && (directory.owner == 0 || directory.owner == as.uid)) return;
  // One other owner: that user's rights, without the groups (less than the user has, never
  // more). Several possible writers, or a second owner after the first: only what all may read.
  const bool oneOwner = !openToOthers && as.uid == 0;
  as = Identity{oneOwner ? directory.owner : anyone, {}, /*narrowed=*/true};
}

bool UserReader::maySearch(const Directory& directory, const std::vector<std::string>& home,
                           const Identity& as) const {
  // A directory strictly above the home: the way to it is the user's by the home's making.
  const std::vector<std::string>& at = directory.at;
  if (at.size() < home.size() && std::equal(at.begin(), at.end(), home.begin())) return true;
  return permits(as, directory.status, searchBit);
}

std::optional<UserReader::Directory> UserReader::open(fs::FileDescriptor descriptor,
                                                      std::vector<std::string> at) const {
  if (!descriptor) return std::nullopt;
  std::error_code error;
  const std::optional<fs::FileStatus> status = files_.status(descriptor, error);
  if (!status || !status->isDirectory()) return std::nullopt;
  return Directory{std::move(descriptor), *status, std::move(at)};
}

std::optional<UserReader::Directory> UserReader::descend(const std::vector<std::string>& components,
                                                         const std::vector<std::string>& home,
                                                         Identity& as) const {
  std::optional<Directory> directory =
      open(files_.openDirectory("/", fs::Links::never).directory, {});
  if (directory) narrow(as, directory->status);
  for (const std::string& name : components) {
    if (!directory || !maySearch(*directory, home, as)) return std::nullopt;
    std::error_code error;
    std::vector<std::string> at = directory->at;
    at.push_back(name);
    directory = open(files_.openDirectoryAt(directory->descriptor, name, error), std::move(at));
    if (directory) narrow(as, directory->status);
  }
  return directory;
}

const std::vector<std::string>& UserReader::home() const {
  // Where the home really is, once it is there; it may be made after this reader.
  if (!home_ && !homePath_.empty()) {
    if (std::optional<std::string> real = files_.realPath(homePath_)) {
      home_ = fs::pathComponents(*real);
    }
  }
  static const std::vector<std::string> none;
  return home_ ? *home_ : none;
}

std::optional<UserReader::Entry> UserReader::find(const std::string& path) const {
  if (!path.starts_with("/")) return std::nullopt;
  const std::vector<std::string>& home = this->home();
  const std::vector<std::string> given = fs::pathComponents(path);
  std::deque<std::string> pending(given.begin(), given.end());
  Identity as = identity_;
  std::optional<Directory> directory = descend({}, home, as);
  const auto here = [&]() -> std::optional<Entry> {
    if (!maySearch(*directory, home, as)) return std::nullopt;
    return Entry{std::move(directory->descriptor), ".", directory->status, joined(directory->at),
                 as};
  };

  int links = 0;
  for (std::size_t steps = 0; directory; ++steps) {
    if (pending.empty()) return here();
    if (steps == maxSteps) return std::nullopt;
    const std::string name = std::move(pending.front());
    pending.pop_front();
    if (name == "." || name == "..") {
      if (name == ".." && !directory->at.empty()) {
        std::vector<std::string> up = directory->at;
        up.pop_back();
        directory = descend(up, home, as);
      }
      continue;
    }
    if (!maySearch(*directory, home, as)) return std::nullopt;
    std::error_code error;
    if (!pending.empty()) {
      // On the way, a directory is the common case: opened at once, looked at only when it is
      // something else.
      fs::FileDescriptor next = files_.openDirectoryAt(directory->descriptor, name, error);
      if (next) {
        std::vector<std::string> at = std::move(directory->at);
        at.push_back(name);
        directory = open(std::move(next), std::move(at));
        if (directory) narrow(as, directory->status);
        continue;
      }
      if (error != std::errc::too_many_symbolic_link_levels &&
          error != std::errc::not_a_directory) {
        return std::nullopt;
      }
    }
    const std::optional<fs::FileStatus> status =
        files_.statusAt(directory->descriptor, name, error);
    if (!status) return std::nullopt;
    if (status->isSymlink()) {
      // Followed by hand, from where it lies or from "/", as the system would.
      if (++links > maxLinks) return std::nullopt;
      const std::optional<std::string> target =
          files_.readLinkAt(directory->descriptor, name, error);
      if (!target || target->empty()) return std::nullopt;
      if (target->front() == '/') directory = descend({}, home, as);
      const std::vector<std::string> more = fs::pathComponents(*target);
      pending.insert(pending.begin(), more.begin(), more.end());
      continue;
    }
    if (!pending.empty()) return std::nullopt;  // not a directory, yet more follows
    std::string found = joined(directory->at);
    return Entry{std::move(directory->descriptor), name, *status, fs::joinPath(found, name), as};
  }
  return std::nullopt;
}

std::optional<fs::FileStatus> UserReader::status(const std::string& path) const {
  std::optional<Entry> entry = find(path);
  if (!entry) return std::nullopt;
  return entry->status;
}

std::optional<std::vector<std::string>> UserReader::list(const std::string& path) const {
  std::optional<Entry> entry = find(path);
  if (!entry || !entry->status.isDirectory()) return std::nullopt;
  std::error_code error;
  const fs::FileDescriptor directory = files_.openDirectoryAt(entry->folder, entry->name, error);
  if (!directory) return std::nullopt;
  const std::optional<fs::FileStatus> opened = files_.status(directory, error);
  if (!opened || !opened->isDirectory()) return std::nullopt;
  // Its names are its controller's choice.
  Identity as = entry->as;
  narrow(as, *opened);
  if (!permits(as, *opened, readBit)) return std::nullopt;
  return files_.list(directory, error);
}

std::optional<std::string> UserReader::read(const std::string& path) const {
  std::optional<Entry> entry = find(path);
  if (!entry || !entry->status.isRegular()) return std::nullopt;
  std::error_code error;
  const fs::FileDescriptor file = files_.openFileAt(entry->folder, entry->name, error);
  if (!file) return std::nullopt;
  const std::optional<fs::FileStatus> opened = files_.status(file, error);
  if (!opened || !opened->isRegular() || !opened->sameFile(entry->status) ||
      !permits(entry->as, *opened, readBit) || opened->size > maxReadBytes) {
    return std::nullopt;
  }
  std::string bytes;
  if (!files_.read(file, maxReadBytes, opened->size, bytes, error)) return std::nullopt;
  return bytes;
}

std::optional<std::string> UserReader::resolve(const std::string& path) const {
  std::optional<Entry> entry = find(path);
  if (!entry) return std::nullopt;
  return std::move(entry->path);
}

}  // namespace tavra::discovery
