#include "apply/file_applier_walk.h"

#include <fcntl.h>
#include <unistd.h>

#include "tavra/error.h"
#include "tavra/platform/digest.h"

namespace tavra::applier {

namespace {

constexpr int directoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW;

std::vector<std::string> components(std::string_view path) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    if (end > start) pieces.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

std::string stripTrailingSlashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return std::string(path);
}

// Why `name` in `directory` could not be opened as a directory without following a link.
Stop classify(int directory, const std::string& name) {
  std::error_code error;
  const auto status = fs::statAt(directory, name, false, error);
  if (!status)
    return error == std::errc::no_such_file_or_directory ? Stop::missing : Stop::unreachable;
  if (status->isSymlink()) return Stop::symlink;
  if (!status->isDirectory()) return Stop::notDirectory;
  return Stop::unreachable;
}

fs::FileDescriptor openStart(std::string_view path, std::error_code& error) {
  return fs::openAt(AT_FDCWD, path.starts_with("/") ? "/" : ".", O_RDONLY | O_DIRECTORY, 0, error);
}

}  // namespace

PathParts splitPath(std::string_view path) {
  const std::string whole = stripTrailingSlashes(path);
  const std::size_t slash = whole.rfind('/');
  if (slash == std::string::npos) return {".", whole};
  std::string directory = stripTrailingSlashes(std::string_view(whole).substr(0, slash));
  if (directory.empty()) directory.assign(1, '/');
  return {directory, whole.substr(slash + 1)};
}

std::string joinPath(std::string_view directory, std::string_view name) {
  std::string path(directory);
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path;
}

Walk walkDirectory(std::string_view directoryPath) {
  Walk walk;
  walk.directory = openStart(directoryPath, walk.error);
  if (!walk.directory) {
    walk.stop = Stop::unreachable;
    walk.at.assign(1, directoryPath.starts_with("/") ? '/' : '.');
    return walk;
  }
  std::string at = directoryPath.starts_with("/") ? "" : ".";
  for (const auto& piece : components(directoryPath)) {
    at.append(1, '/').append(piece);
    std::error_code error;
    fs::FileDescriptor next = fs::openAt(walk.directory.get(), piece, directoryFlags, 0, error);
    if (!next) {
      walk.stop = classify(walk.directory.get(), piece);
      walk.at = at;
      walk.error = error;
      walk.directory.reset();
      return walk;
    }
    walk.directory = std::move(next);
  }
  return walk;
}

fs::FileDescriptor makeDirectoryWalk(std::string_view directoryPath, std::uint16_t mode,
                                     bool rootOwnership, std::vector<std::string>& created) {
  std::error_code error;
  fs::FileDescriptor current = openStart(directoryPath, error);
  if (!current) throw fs::systemError(error, "cannot open directory /");
  std::string at = directoryPath.starts_with("/") ? "" : ".";
  for (const auto& piece : components(directoryPath)) {
    at.append(1, '/').append(piece);
    fs::FileDescriptor next;
    // A hostile writer of the parent can make the component appear and vanish between our
    // calls; a few rounds settle it, and every round refuses links and non-directories.
    for (int round = 0; round < 8 && !next; ++round) {
      next = fs::openAt(current.get(), piece, directoryFlags, 0, error);
      if (next) break;
      switch (classify(current.get(), piece)) {
        case Stop::none:
        case Stop::unreachable:  // a directory again, or not reachable: try once more
          break;
        case Stop::symlink:
          throw TavraError::io(at + " is a symlink; refusing to write through it");
        case Stop::notDirectory:
          throw TavraError::io(at + " is not a directory");
        case Stop::missing: {
          std::error_code makeError;
          if (!fs::makeDirectoryAt(current.get(), piece, mode, makeError)) {
            if (makeError == std::errc::file_exists) continue;
            throw fs::systemError(makeError, "cannot create directory " + at);
          }
          created.push_back(at);
          next = fs::openAt(current.get(), piece, directoryFlags, 0, error);
          if (!next) continue;
          // Give the new directory its exact mode and owner, unless what we opened is not the
          // directory we just made (someone swapped it in between): that one is left alone.
          std::error_code statusError;
          const auto status = fs::stat(next.get(), statusError);
          if (status && status->owner == ::geteuid()) {
            std::error_code ignored;
            fs::changeMode(next.get(), mode, ignored);
            if (rootOwnership) fs::changeOwner(next.get(), 0, 0, ignored);
          }
          break;
        }
      }
    }
    if (!next) throw fs::systemError(error, "cannot open directory " + at);
    current = std::move(next);
  }
  return current;
}

void writeAtomicallyAt(int directory, const std::string& directoryText, const std::string& name,
                       const std::string& target, std::string_view data, std::uint16_t mode,
                       bool rootOwnership) {
  const std::string temporaryName = ".tavra-" + digest::newUUID();
  const std::string temporary = joinPath(directoryText, temporaryName);

  std::error_code error;
  fs::FileDescriptor file =
      fs::openAt(directory, temporaryName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode, error);
  if (!file) throw TavraError::io("cannot create " + temporary + ": " + error.message());

  const auto fail = [&](const std::error_code& cause) {
    file.reset();
    std::error_code ignored;
    fs::unlinkAt(directory, temporaryName, false, ignored);
    return TavraError::io("cannot write " + target + ": " + cause.message());
  };

  if (!fs::writeAll(file.get(), data, error)) throw fail(error);
  // Owner before mode: a change of owner clears set-id bits. The mode is set explicitly so the
  // process's file-creation mask does not matter; the sync comes last so it covers both.
  if (rootOwnership && !fs::changeOwner(file.get(), 0, 0, error)) throw fail(error);
  if (!fs::changeMode(file.get(), mode, error)) throw fail(error);
  if (!fs::sync(file.get(), error)) throw fail(error);
  file.reset();
  if (!fs::renameAt(directory, temporaryName, directory, name, error)) throw fail(error);
}

}  // namespace tavra::applier
