#include "reconcile/discovery_reader.h"

#include <algorithm>
#include <deque>

namespace tavra::discovery {
namespace {

constexpr unsigned readBit = 4;
constexpr unsigned searchBit = 1;

std::string joined(const std::vector<std::string>& components) {
  std::string path;
  for (const std::string& component : components) path.append(1, '/').append(component);
  return path.empty() ? "/" : path;
}

}  // namespace

// ---- SystemReader ----

std::optional<fs::FileStatus> SystemReader::status(const std::string& path) const {
  std::error_code error;
  return files_.status(path, fs::Links::follow, error);
}

std::optional<std::vector<std::string>> SystemReader::list(const std::string& path) const {
  std::error_code error;
  return files_.list(path, error);
}

// The reader never opens anything but a regular file: the files looked at lie in folders that
// users control, and opening or reading a FIFO or a device could block the pass for good or act
// on the device.
std::optional<std::string> SystemReader::read(const std::string& path) const {
  fs::ReadResult read = files_.readFile(path, {.maxBytes = maxReadBytes});
  if (!read) return std::nullopt;
  return std::move(read.bytes);
}

std::optional<std::string> SystemReader::resolve(const std::string& path) const {
  return files_.realPath(path);
}

// ---- UserReader ----

UserReader::UserReader(const FileSystem& files, Identity identity, const std::string& home)
    : files_(files), identity_(std::move(identity)), home_(home) {}

bool UserReader::permits(const fs::FileStatus& status, unsigned bits) const {
  if (identity_.uid == 0) return true;
  unsigned granted = status.mode & 07;
  if (status.owner == identity_.uid) {
    granted = (status.mode >> 6) & 07;
  } else if (std::find(identity_.groups.begin(), identity_.groups.end(), status.group) !=
             identity_.groups.end()) {
    granted = (status.mode >> 3) & 07;
  }
  return (granted & bits) == bits;
}

bool UserReader::maySearch(const fs::FileDescriptor& directory,
                           const std::vector<std::string>& components,
                           const std::vector<std::string>& home) const {
  // A directory strictly above the home: the way to it is the user's by the home's making.
  if (components.size() < home.size() &&
      std::equal(components.begin(), components.end(), home.begin())) {
    return true;
  }
  std::error_code error;
  const std::optional<fs::FileStatus> status = files_.status(directory, error);
  return status && status->isDirectory() && permits(*status, searchBit);
}

fs::FileDescriptor UserReader::descend(const std::vector<std::string>& components,
                                       const std::vector<std::string>& home) const {
  fs::Walk root = files_.openDirectory("/", fs::Links::never);
  if (!root) return {};
  fs::FileDescriptor directory = std::move(root.directory);
  std::vector<std::string> at;
  for (const std::string& name : components) {
    if (!maySearch(directory, at, home)) return {};
    std::error_code error;
    fs::FileDescriptor next = files_.openDirectoryAt(directory, name, error);
    if (!next) return {};
    directory = std::move(next);
    at.push_back(name);
  }
  return directory;
}

std::optional<UserReader::Entry> UserReader::find(const std::string& path) const {
  if (!path.starts_with("/")) return std::nullopt;
  const std::vector<std::string> given = fs::pathComponents(path);
  std::deque<std::string> pending(given.begin(), given.end());
  // Where the home really is, taken afresh: it may have been made since this reader was.
  const std::optional<std::string> realHome = files_.realPath(home_);
  const std::vector<std::string> home =
      realHome ? fs::pathComponents(*realHome) : std::vector<std::string>{};
  std::vector<std::string> at;  // where `directory` is, from "/"
  fs::FileDescriptor directory = descend(at, home);
  if (!directory) return std::nullopt;
  const auto here = [&]() -> std::optional<Entry> {
    std::error_code error;
    std::optional<fs::FileStatus> status = files_.status(directory, error);
    if (!status || !maySearch(directory, at, home)) return std::nullopt;
    return Entry{std::move(directory), ".", *status, joined(at)};
  };
  if (pending.empty()) return here();

  int links = 0;
  for (std::size_t steps = 0; !pending.empty(); ++steps) {
    if (steps == maxSteps) return std::nullopt;
    const std::string name = std::move(pending.front());
    pending.pop_front();
    if (name == "." || name == "..") {
      if (name == ".." && !at.empty()) {
        at.pop_back();
        directory = descend(at, home);
        if (!directory) return std::nullopt;
      }
      if (pending.empty()) return here();
      continue;
    }
    if (!maySearch(directory, at, home)) return std::nullopt;
    std::error_code error;
    const std::optional<fs::FileStatus> status = files_.statusAt(directory, name, error);
    if (!status) return std::nullopt;
    if (status->isSymlink()) {
      // Followed by hand, from where it lies or from "/", as the system would.
      if (++links > maxLinks) return std::nullopt;
      const std::optional<std::string> target = files_.readLinkAt(directory, name, error);
      if (!target || target->empty()) return std::nullopt;
      if (target->front() == '/') {
        at.clear();
        directory = descend(at, home);
        if (!directory) return std::nullopt;
      }
      const std::vector<std::string> more = fs::pathComponents(*target);
      pending.insert(pending.begin(), more.begin(), more.end());
      if (pending.empty()) return here();
      continue;
    }
    if (pending.empty()) {
      std::string found = joined(at);
      return Entry{std::move(directory), name, *status, fs::joinPath(found, name)};
    }
    if (!status->isDirectory()) return std::nullopt;
    fs::FileDescriptor next = files_.openDirectoryAt(directory, name, error);
    if (!next) return std::nullopt;
    directory = std::move(next);
    at.push_back(name);
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
  if (!opened || !opened->isDirectory() || !permits(*opened, readBit)) return std::nullopt;
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
      !permits(*opened, readBit) || opened->size > maxReadBytes) {
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
