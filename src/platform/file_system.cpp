// What every FileSystem shares: descriptors, statuses, paths, error texts, and the reader and
// the atomic write, built on the primitives each implementation provides.
#include "tavra/platform/file_system.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "tavra/platform/digest.h"

namespace tavra::fs {

std::string systemErrorText(const std::error_code& error) {
  return error.message();
}

std::system_error systemError(const std::error_code& error, const std::string& context) {
  return std::system_error(error, context);
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

namespace {

std::string_view withoutTrailingSlashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

}  // namespace

PathParts splitPath(std::string_view path) {
  const std::string_view whole = withoutTrailingSlashes(path);
  const std::size_t slash = whole.rfind('/');
  if (slash == std::string_view::npos) return {".", std::string(whole)};
  std::string directory(withoutTrailingSlashes(whole.substr(0, slash)));
  if (directory.empty()) directory.assign(1, '/');
  return {std::move(directory), std::string(whole.substr(slash + 1))};
}

std::string joinPath(std::string_view directory, std::string_view name) {
  std::string path(directory);
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path;
}

std::vector<std::string> pathComponents(std::string_view path) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    if (end > start) pieces.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

WriteError::WriteError(const std::error_code& error, const std::string& context)
    : std::system_error(error, context) {}

WriteError WriteError::cannotCreate(std::string_view temporary, const std::error_code& error) {
  return WriteError(error, "cannot create " + std::string(temporary));
}

WriteError WriteError::cannotCreateIn(std::string_view directory, const std::error_code& error) {
  return cannotCreate(joinPath(directory, std::string(temporaryPrefix) + digest::newUUID()), error);
}

WriteError WriteError::cannotWrite(std::string_view target, const std::error_code& error) {
  return WriteError(error, "cannot write " + std::string(target));
}

}  // namespace tavra::fs

namespace tavra {

namespace {

using Failure = fs::ReadResult::Failure;

fs::ReadResult failed(Failure failure, std::error_code error) {
  fs::ReadResult result;
  result.failure = failure;
  result.error = error;
  return result;
}

bool isAbsence(const std::error_code& error) {
  return error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory;
}

fs::ReadResult notRegular(const fs::FileStatus& status) {
  return failed(Failure::notRegular,
                std::make_error_code(status.isDirectory() ? std::errc::is_a_directory
                                                          : std::errc::invalid_argument));
}

// Whether the reader takes a file of this kind: a regular file, or with anyKind anything but a
// directory.
bool isReadable(const fs::FileStatus& status, const fs::ReadOptions& options) {
  return status.isRegular() || (options.anyKind && !status.isDirectory());
}

fs::ReadResult notRootOwned() {
  return failed(Failure::notRootOwned, std::make_error_code(std::errc::operation_not_permitted));
}

// The reader's checks once the file is open: what was looked at before opening (`seen`) and
// what the descriptor holds must be the same regular file.
fs::ReadResult readOpened(const FileSystem& files, const fs::FileStatus& seen,
                          const fs::FileDescriptor& file, const fs::ReadOptions& options,
                          std::string buffer) {
  std::error_code error;
  const std::optional<fs::FileStatus> opened = files.status(file, error);
  if (!opened) return failed(Failure::unreadable, error);
  if (!isReadable(*opened, options)) return notRegular(*opened);
  if (options.requireRootOwned && opened->owner != 0) return notRootOwned();
  if (!opened->sameFile(seen)) {
    return failed(Failure::unreadable,
                  std::make_error_code(std::errc::resource_unavailable_try_again));
  }
  if (opened->size > options.maxBytes) {
    // Refused before a byte is read; the status tells the caller what it is not reading.
    fs::ReadResult tooLarge =
        failed(Failure::unreadable, std::make_error_code(std::errc::file_too_large));
    tooLarge.status = *opened;
    return tooLarge;
  }
  fs::ReadResult result;
  result.bytes = std::move(buffer);
  if (!files.read(file, options.maxBytes, opened->size, result.bytes, error)) {
    return failed(Failure::unreadable, error);
  }
  result.status = *opened;
  return result;
}

// The checks before opening: only a regular file (and, when asked, a root-owned one) is opened.
std::optional<fs::ReadResult> refuseBeforeOpening(const std::optional<fs::FileStatus>& seen,
                                                  const std::error_code& error,
                                                  const fs::ReadOptions& options) {
  if (!seen) return failed(Failure::absent, error);
  if (!isReadable(*seen, options)) return notRegular(*seen);
  if (options.requireRootOwned && seen->owner != 0) return notRootOwned();
  return std::nullopt;
}

fs::ReadResult refuseOpenFailure(const std::error_code& error) {
  // A link put in place between the look and the open.
  if (error == std::errc::too_many_symbolic_link_levels) {
    return failed(Failure::notRegular, error);
  }
  return failed(isAbsence(error) ? Failure::absent : Failure::unreadable, error);
}

// Writes every byte, repeating short writes; a write that writes nothing fails.
bool writeAll(const FileSystem& files, const fs::FileDescriptor& file, std::string_view data,
              std::error_code& error) {
  for (std::string_view rest = data; !rest.empty();) {
    const std::size_t written = files.write(file, rest, error);
    if (written == 0) {
      if (!error) error = std::make_error_code(std::errc::io_error);
      return false;
    }
    rest.remove_prefix(std::min(written, rest.size()));
  }
  return true;
}

}  // namespace

fs::ReadResult FileSystem::readFile(const std::string& path, const fs::ReadOptions& options) const {
  if (options.links == fs::Links::never) {
    const fs::PathParts parts = fs::splitPath(path);
    const fs::Walk parent = openDirectory(parts.directory, fs::Links::never);
    if (!parent) {
      return failed(parent.stop == fs::Walk::Stop::missing ? Failure::absent : Failure::unreadable,
                    parent.error);
    }
    return readFileAt(parent.directory, parts.name, options);
  }
  std::error_code error;
  const std::optional<fs::FileStatus> seen = status(path, options.links, error);
  if (auto refused = refuseBeforeOpening(seen, error, options)) return std::move(*refused);
  // Only a file that is not regular is ever waited for, and only when it was named on purpose.
  const fs::Wait wait = seen->isRegular() ? fs::Wait::never : fs::Wait::asNeeded;
  const fs::FileDescriptor file = openFile(path, options.links, wait, error);
  if (!file) return refuseOpenFailure(error);
  return readOpened(*this, *seen, file, options, {});
}

fs::ReadResult FileSystem::readFileAt(const fs::FileDescriptor& directory, const std::string& name,
                                      const fs::ReadOptions& given, std::string buffer) const {
  fs::ReadOptions options = given;
  options.anyKind = false;  // an entry of a folder: a regular file or nothing
  std::error_code error;
  const std::optional<fs::FileStatus> seen = statusAt(directory, name, error);
  if (auto refused = refuseBeforeOpening(seen, error, options)) return std::move(*refused);
  const fs::FileDescriptor file = openFileAt(directory, name, error);
  if (!file) return refuseOpenFailure(error);
  return readOpened(*this, *seen, file, options, std::move(buffer));
}

std::optional<fs::FileStatus> FileSystem::writeAtomically(const std::string& target,
                                                          std::string_view data,
                                                          const fs::WriteOptions& options) const {
  const fs::PathParts parts = fs::splitPath(target);
  const fs::Walk directory = openDirectory(parts.directory, fs::Links::follow);
  if (!directory) throw fs::WriteError::cannotCreateIn(parts.directory, directory.error);
  return writeAtomicallyAt(directory.directory, target, data, options);
}

std::optional<fs::FileStatus> FileSystem::writeAtomicallyAt(const fs::FileDescriptor& directory,
                                                            const std::string& target,
                                                            std::string_view data,
                                                            const fs::WriteOptions& options) const {
  const fs::PathParts parts = fs::splitPath(target);
  const std::string temporary = std::string(fs::temporaryPrefix) + digest::newUUID();

  std::error_code error;
  fs::FileDescriptor file = createFileAt(directory, temporary, options.mode, error);
  if (!file) throw fs::WriteError::cannotCreate(fs::joinPath(parts.directory, temporary), error);

  const auto fail = [&](const std::error_code& cause) {
    file.reset();
    std::error_code ignored;
    removeAt(directory, temporary, false, ignored);
    return fs::WriteError::cannotWrite(target, cause);
  };

  if (!writeAll(*this, file, data, error)) throw fail(error);
  // Owner before mode: a change of owner clears set-id bits. The mode is set explicitly so the
  // process's file-creation mask does not matter; the sync comes last so it covers both.
  if (options.rootOwnership && !changeOwner(file, 0, 0, error)) throw fail(error);
  if (options.mode && !changeMode(file, *options.mode, error)) throw fail(error);
  if (!sync(file, error)) throw fail(error);
  // Taken from the file itself before it is in place: a look at the target after the rename
  // could already see someone else's file.
  std::error_code unknown;
  std::optional<fs::FileStatus> written = status(file, unknown);
  file.reset();  // the result of close is of no use once the data is synced
  if (!renameAt(directory, temporary, parts.name, error)) throw fail(error);
  // Only the rename's durability is at stake here: the new file is complete either way.
  if (options.syncDirectory) sync(directory, error);
  return written;
}

void FileSystem::writePlainly(const std::string& path, std::string_view data, fs::Links links,
                              bool regularFileOnly) const {
  const auto notRegular = [&] {
    return std::runtime_error("cannot write " + path + ": not a regular file");
  };
  std::error_code error;
  const fs::FileDescriptor file = openForWriting(path, links, error);
  if (!file && regularFileOnly && error == std::errc::no_such_device_or_address) throw notRegular();
  if (file && regularFileOnly) {
    const std::optional<fs::FileStatus> opened = status(file, error);
    if (opened && !opened->isRegular()) throw notRegular();
  }
  if (!file || error || !writeAll(*this, file, data, error)) {
    throw fs::systemError(error, "cannot write " + path);
  }
}

}  // namespace tavra
