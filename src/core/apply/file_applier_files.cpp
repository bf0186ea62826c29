// The file applier's files: probing targets, its own directories, the state file and the
// atomic write.
#include <fcntl.h>

#include "apply/file_applier_walk.h"
#include "tavra/error.h"
#include "tavra/file_applier.h"
#include "tavra/platform/digest.h"

namespace tavra {

namespace applier {

std::optional<FileInfo> currentFile(const std::string& path, std::int64_t limit) {
  const PathParts parts = splitPath(path);
  Walk walk = walkDirectory(parts.directory);
  // A parent that is missing, a link or no directory: nothing is reachable there.
  if (walk.stop != Stop::none) return std::nullopt;

  std::error_code error;
  const auto probed = fs::statAt(walk.directory.get(), parts.name, false, error);
  if (!probed) return std::nullopt;
  const auto notRegular = [&] {
    return TavraError::io(path +
                          " exists but is not a regular file (symlink or directory); refusing to "
                          "touch it");
  };
  const auto unreadable = [&] { return TavraError::io("cannot read " + path); };
  if (!probed->isRegular()) throw notRegular();

  // O_NONBLOCK: a pipe swapped in after the look above must not hang the read.
  fs::FileDescriptor file = fs::openAt(walk.directory.get(), parts.name,
                                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0, error);
  if (!file) {
    if (error == std::errc::too_many_symbolic_link_levels) throw notRegular();
    throw unreadable();
  }
  const auto opened = fs::stat(file.get(), error);
  if (!opened) throw unreadable();
  if (!opened->isRegular()) throw notRegular();
  if (!opened->sameFile(*probed) || opened->size > limit) throw unreadable();
  auto content = fs::readAll(file.get(), limit, error);
  if (!content) throw unreadable();

  FileInfo info;
  info.sha256 = FileApplier::sha256(*content);
  info.mode = opened->permissions();
  info.rootOwned = opened->owner == 0;
  info.content = std::move(*content);
  return info;
}

std::optional<fs::FileStatus> targetStatus(const std::string& path) {
  const PathParts parts = splitPath(path);
  Walk walk = walkDirectory(parts.directory);
  if (walk.stop != Stop::none) return std::nullopt;
  std::error_code error;
  return fs::statAt(walk.directory.get(), parts.name, false, error);
}

std::optional<OwnFile> readOwnFile(const std::string& path, std::int64_t limit) {
  std::error_code error;
  fs::FileDescriptor file = fs::openAt(AT_FDCWD, path, O_RDONLY | O_NONBLOCK | O_NOCTTY, 0, error);
  if (!file) return std::nullopt;
  const auto status = fs::stat(file.get(), error);
  if (!status || !status->isRegular() || status->size > limit) return std::nullopt;
  auto content = fs::readAll(file.get(), limit, error);
  if (!content) return std::nullopt;
  return OwnFile{std::move(*content), status->permissions()};
}

}  // namespace applier

FileApplier::FileApplier(std::string supportDirectory, PathPolicy pathPolicy, bool setRootOwnership,
                         Clock clock)
    : supportDirectory_(std::move(supportDirectory)),
      pathPolicy_(std::move(pathPolicy)),
      setRootOwnership_(setRootOwnership),
      clock_(std::move(clock)) {}

std::string FileApplier::sha256(std::string_view bytes) {
  return digest::sha256Hex(bytes);
}

Date FileApplier::now() const {
  // Whole seconds, as the state file keeps them, so a saved and a loaded state compare equal.
  return std::chrono::floor<std::chrono::seconds>(clock_ ? clock_()
                                                         : std::chrono::system_clock::now());
}

std::string FileApplier::appliedCopyPath(const std::string& canonicalPath) const {
  return supportDirectory_ + "/applied" + "/" + sha256(canonicalPath);
}

std::string FileApplier::backupPath(const std::string& canonicalPath) const {
  return supportDirectory_ + "/backups" + "/" + sha256(canonicalPath) + ".bak";
}

FileApplier::State FileApplier::loadState() const {
  const auto file = applier::readOwnFile(supportDirectory_ + "/state.json", maxFileSize);
  if (!file) return State();
  try {
    return State::decode(decoder(file->content));
  } catch (const std::exception&) {
    return State();
  }
}

void FileApplier::saveState(const State& state) const {
  ensureDirectory(supportDirectory_, 0755);
  // Rewritten in full on every pass, also when nothing changed, so the file always comes out of
  // the atomic write: exactly 0600, root-owned when required, never a link.
  writeAtomically(encoder(state.encode()), supportDirectory_ + "/state.json", 0600);
}

void FileApplier::writeAtomically(std::string_view data, const std::string& path,
                                  std::uint16_t mode) const {
  const applier::PathParts parts = applier::splitPath(path);
  std::error_code error;
  const fs::FileDescriptor directory =
      fs::openAt(AT_FDCWD, parts.directory, O_RDONLY | O_DIRECTORY, 0, error);
  if (!directory) {
    const std::string temporary = applier::joinPath(parts.directory, ".tavra-" + digest::newUUID());
    throw TavraError::io("cannot create " + temporary + ": " + error.message());
  }
  applier::writeAtomicallyAt(directory.get(), parts.directory, parts.name, path, data, mode,
                             setRootOwnership_);
}

void FileApplier::ensureDirectory(const std::string& path, std::uint16_t mode) const {
  std::error_code error;
  if (const auto status = fs::statAt(AT_FDCWD, path, true, error)) {
    if (status->isDirectory()) return;
    throw TavraError::io(path + " is not a directory");
  }
  // Create it with any missing intermediates (those get 0755).
  std::string at = path.starts_with("/") ? "" : ".";
  bool madeIt = false;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    if (end > start) {
      at.append(1, '/').append(path, start, end - start);
      const bool last = path.find_first_not_of('/', end) == std::string::npos;
      const bool made = fs::makeDirectoryAt(AT_FDCWD, at, last ? mode : 0755, error);
      if (!made && error != std::errc::file_exists) {
        throw fs::systemError(error, "cannot create directory " + path);
      }
      madeIt = made && last;
    }
    start = end + 1;
  }
  fs::FileDescriptor created = fs::openAt(AT_FDCWD, path, O_RDONLY | O_DIRECTORY, 0, error);
  if (!created) throw fs::systemError(error, "cannot create directory " + path);
  if (!madeIt) return;  // someone else made it meanwhile: left as it is
  std::error_code ignored;
  fs::changeMode(created.get(), mode, ignored);
  if (setRootOwnership_) fs::changeOwner(created.get(), 0, 0, ignored);
}

}  // namespace tavra
