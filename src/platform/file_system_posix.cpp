// PosixFileSystem: the primitives of FileSystem on this machine's POSIX calls. Every path is sent
// through hostPath() first; places on a path are reported in the caller's spelling.
#include <fcntl.h>
#include <unistd.h>

#include "posix_file.h"
#include "tavra/platform/file_system.h"
#include "tavra/platform/host_path.h"

namespace tavra {

namespace {

using fs::FileDescriptor;
using Stop = fs::Walk::Stop;

constexpr int directoryFlags = O_RDONLY | O_DIRECTORY;

// Why `name` in `directory` could not be opened as a directory.
Stop classify(int directory, const std::string& name, bool followLinks) {
  std::error_code error;
  const auto entry = fs::statAt(directory, name, false, error);
  if (!entry) {
    return error == std::errc::no_such_file_or_directory ? Stop::missing : Stop::unreachable;
  }
  if (entry->isSymlink()) {
    if (!followLinks) return Stop::symlink;
    const auto target = fs::statAt(directory, name, true, error);
    if (target && !target->isDirectory()) return Stop::notDirectory;
    return Stop::unreachable;  // dangling, or a directory again
  }
  return entry->isDirectory() ? Stop::unreachable : Stop::notDirectory;
}

// A directory the walk just created gets its exact mode and owner through its own descriptor,
// unless what was opened is not ours (someone swapped it in between): that one is left alone.
void settle(const FileDescriptor& created, std::optional<mode_t> mode, bool rootOwnership) {
  std::error_code ignored;
  const auto status = fs::stat(created.get(), ignored);
  if (!status || status->owner != ::geteuid()) return;
  if (mode) fs::changeMode(created.get(), *mode, ignored);
  if (rootOwnership) fs::changeOwner(created.get(), 0, 0, ignored);
}

// The mode a missing directory is created with: the one asked for, 0755 above it, or the
// creation defaults when none is asked for.
std::optional<mode_t> creationMode(const fs::MakeOptions& make, bool last) {
  if (!make.mode) return std::nullopt;
  return last ? mode_t(*make.mode) : mode_t(0755);
}

struct Step {
  FileDescriptor next;
  Stop stop = Stop::none;
  std::error_code error;
};

// Opens one component below `current`, creating it when missing and `make` is given. A hostile
// writer of the parent can make the component appear and vanish between our calls; a few rounds
// settle it, and every round refuses what `flags` refuses.
Step openComponent(const FileDescriptor& current, const std::string& name, int flags,
                   const fs::MakeOptions* make, bool last, const std::string& shownAs,
                   std::vector<std::string>& created) {
  Step step;
  for (int round = 0; round < 8; ++round) {
    step.next = fs::openAt(current.get(), name, flags, 0, step.error);
    if (step.next) {
      step.stop = Stop::none;
      return step;
    }
    step.stop = classify(current.get(), name, (flags & O_NOFOLLOW) == 0);
    if (step.stop == Stop::unreachable) continue;
    if (step.stop != Stop::missing || make == nullptr) return step;
    const std::optional<mode_t> mode = creationMode(*make, last);
    if (!fs::makeDirectoryAt(current.get(), name, mode.value_or(0777), step.error)) {
      if (step.error == std::errc::file_exists) continue;
      step.stop = Stop::unreachable;
      return step;
    }
    created.push_back(shownAs);
    step.next = fs::openAt(current.get(), name, flags, 0, step.error);
    if (!step.next) continue;
    settle(step.next, mode, make->rootOwnership);
    step.stop = Stop::none;
    return step;
  }
  return step;
}

// Walks `steps` down from the directory open in `walk`, one component at a time; `at` is the
// place reached so far as shown, `shown` the name of each step as shown.
void descend(fs::Walk& walk, const std::vector<std::string>& steps,
             const std::vector<std::string>& shown, std::string at, fs::Links links,
             const fs::MakeOptions* make) {
  for (std::size_t i = 0; i < steps.size(); ++i) {
    at.append(1, '/').append(shown[i]);
    const bool last = i + 1 == steps.size();
    const bool refuseLink = links == fs::Links::never || (links == fs::Links::notFinal && last);
    Step step =
        openComponent(walk.directory, steps[i], directoryFlags | (refuseLink ? O_NOFOLLOW : 0),
                      make, last, at, walk.created);
    if (!step.next) {
      walk.stop = step.stop == Stop::none ? Stop::unreachable : step.stop;
      walk.at = at;
      walk.error = step.error;
      walk.directory.reset();
      return;
    }
    walk.directory = std::move(step.next);
  }
}

}  // namespace

fs::Walk PosixFileSystem::walk(const std::string& path, fs::Links links,
                               const fs::MakeOptions* make) const {
  const std::string host = hostPath(path);
  fs::Walk walk;
  // Where the whole path is there, one open does it; the walk one directory at a time is for
  // making what is missing and for telling where and why the path is refused.
  if (links != fs::Links::never) {
    const int flags = directoryFlags | (links == fs::Links::notFinal ? O_NOFOLLOW : 0);
    walk.directory = fs::openAt(AT_FDCWD, host, flags, 0, walk.error);
    if (walk.directory) return walk;
    if (make == nullptr) {
      walk.stop = classify(AT_FDCWD, host, links == fs::Links::follow);
      walk.at = path;
      return walk;
    }
  } else {
    walk.directory = fs::openWithoutLinks(host, directoryFlags, walk.error);
    if (walk.directory) return walk;
  }
  walk.error.clear();

  // The host path drops leading components of the given one ("/private"); they are shown, not
  // walked.
  const std::vector<std::string> given = fs::pathComponents(path);
  const std::vector<std::string> steps = fs::pathComponents(host);
  const std::size_t skipped = given.size() - steps.size();
  const bool absolute = host.starts_with("/");
  std::string at = absolute ? "" : ".";
  for (std::size_t i = 0; i < skipped; ++i) at.append(1, '/').append(given[i]);

  walk.directory = fs::openAt(AT_FDCWD, absolute ? "/" : ".", directoryFlags, 0, walk.error);
  if (!walk.directory) {
    walk.stop = Stop::unreachable;
    walk.at = absolute ? "/" : ".";
    return walk;
  }
  descend(walk, steps,
          std::vector<std::string>(given.begin() + std::ptrdiff_t(skipped), given.end()),
          std::move(at), links, make);
  return walk;
}

fs::Walk PosixFileSystem::walkAt(const FileDescriptor& directory, const std::string& shownAs,
                                 const std::string& relative, fs::Links links,
                                 const fs::MakeOptions* make) const {
  fs::Walk walk;
  const std::vector<std::string> steps = fs::pathComponents(relative);
  std::string at = shownAs;
  for (const std::string& step : steps) {
    at.append(1, '/').append(step);
    if (step == "..") {
      walk.stop = Stop::unreachable;
      walk.at = at;
      walk.error = std::make_error_code(std::errc::invalid_argument);
      return walk;
    }
  }
  walk.directory = fs::openAt(directory.get(), ".", directoryFlags, 0, walk.error);
  if (!walk.directory) {
    walk.stop = Stop::unreachable;
    walk.at = shownAs;
    return walk;
  }
  std::string start = shownAs;
  if (start.size() > 1 && start.back() == '/') start.pop_back();
  if (start == "/") start.clear();
  descend(walk, steps, steps, std::move(start), links, make);
  return walk;
}

FileDescriptor PosixFileSystem::openFile(const std::string& path, fs::Links links, fs::Wait wait,
                                         std::error_code& error) const {
  const int flags = O_RDONLY | O_NOCTTY | (wait == fs::Wait::never ? O_NONBLOCK : 0) |
                    (links == fs::Links::follow ? 0 : O_NOFOLLOW);
  return fs::openAt(AT_FDCWD, hostPath(path), flags, 0, error);
}

FileDescriptor PosixFileSystem::openFileAt(const FileDescriptor& directory, const std::string& name,
                                           std::error_code& error) const {
  return fs::openAt(directory.get(), name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW, 0, error);
}

FileDescriptor PosixFileSystem::openDirectoryAt(const FileDescriptor& directory,
                                                const std::string& name,
                                                std::error_code& error) const {
  return fs::openAt(directory.get(), name, directoryFlags | O_NOFOLLOW, 0, error);
}

FileDescriptor PosixFileSystem::createFileAt(const FileDescriptor& directory,
                                             const std::string& name,
                                             std::optional<std::uint16_t> mode,
                                             std::error_code& error) const {
  return fs::openAt(directory.get(), name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW,
                    mode.value_or(0666), error);
}

FileDescriptor PosixFileSystem::openForWriting(const std::string& path, fs::Links links,
                                               std::error_code& error) const {
  const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY |
                    (links == fs::Links::follow ? 0 : O_NOFOLLOW);
  FileDescriptor file = fs::openAt(AT_FDCWD, hostPath(path), flags, 0666, error);
  // Only the open must not wait; the writes wait for a slow reader.
  if (file && ::fcntl(file.get(), F_SETFL, ::fcntl(file.get(), F_GETFL) & ~O_NONBLOCK) != 0) {
    error = fs::lastError();
    return {};
  }
  return file;
}

FileDescriptor PosixFileSystem::openForWritingAt(const FileDescriptor& directory,
                                                 const std::string& name,
                                                 std::error_code& error) const {
  FileDescriptor file =
      fs::openAt(directory.get(), name, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW, 0, error);
  if (file && ::fcntl(file.get(), F_SETFL, ::fcntl(file.get(), F_GETFL) & ~O_NONBLOCK) != 0) {
    error = fs::lastError();
    return {};
  }
  return file;
}

std::optional<fs::FileStatus> PosixFileSystem::status(const std::string& path, fs::Links links,
                                                      std::error_code& error) const {
  return fs::statAt(AT_FDCWD, hostPath(path), links == fs::Links::follow, error);
}

std::optional<fs::FileStatus> PosixFileSystem::statusAt(const FileDescriptor& directory,
                                                        const std::string& name,
                                                        std::error_code& error) const {
  return fs::statAt(directory.get(), name, false, error);
}

std::optional<fs::FileStatus> PosixFileSystem::status(const FileDescriptor& file,
                                                      std::error_code& error) const {
  return fs::stat(file.get(), error);
}

std::optional<std::string> PosixFileSystem::readLinkAt(const FileDescriptor& directory,
                                                       const std::string& name,
                                                       std::error_code& error) const {
  return fs::readLinkAt(directory.get(), name, error);
}

std::optional<std::vector<std::string>> PosixFileSystem::list(const std::string& path,
                                                              std::error_code& error) const {
  const FileDescriptor directory = fs::openAt(AT_FDCWD, hostPath(path), directoryFlags, 0, error);
  if (!directory) return std::nullopt;
  return fs::listDirectory(directory.get(), error);
}

std::optional<std::vector<std::string>> PosixFileSystem::list(const FileDescriptor& directory,
                                                              std::error_code& error) const {
  return fs::listDirectory(directory.get(), error);
}

bool PosixFileSystem::read(const FileDescriptor& file, std::int64_t limit, std::int64_t size,
                           std::string& into, std::error_code& error) const {
  return fs::readInto(file.get(), limit, size, into, error);
}

std::size_t PosixFileSystem::write(const FileDescriptor& file, std::string_view data,
                                   std::error_code& error) const {
  return fs::writeSome(file.get(), data, error);
}

bool PosixFileSystem::changeMode(const FileDescriptor& file, std::uint16_t mode,
                                 std::error_code& error) const {
  return fs::changeMode(file.get(), mode, error);
}

bool PosixFileSystem::changeOwner(const FileDescriptor& file, std::uint32_t owner,
                                  std::uint32_t group, std::error_code& error) const {
  return fs::changeOwner(file.get(), owner, group, error);
}

bool PosixFileSystem::sync(const FileDescriptor& file, std::error_code& error) const {
  return fs::sync(file.get(), error);
}

bool PosixFileSystem::renameAt(const FileDescriptor& directory, const std::string& from,
                               const std::string& to, std::error_code& error) const {
  return fs::renameAt(directory.get(), from, directory.get(), to, error);
}

bool PosixFileSystem::remove(const std::string& path, std::error_code& error) const {
  return fs::unlinkAt(AT_FDCWD, hostPath(path), false, error);
}

bool PosixFileSystem::removeAt(const FileDescriptor& directory, const std::string& name,
                               bool emptyDirectory, std::error_code& error) const {
  return fs::unlinkAt(directory.get(), name, emptyDirectory, error);
}

std::optional<std::string> PosixFileSystem::realPath(const std::string& path) const {
  return fs::resolvedPath(hostPath(path));
}

std::optional<std::string> PosixFileSystem::workingDirectory() const {
  return fs::currentDirectory();
}

}  // namespace tavra
