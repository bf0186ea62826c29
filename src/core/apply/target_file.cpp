#include "apply/target_file.h"

#include "tavra/file_applier.h"

namespace tavra::applier {

std::optional<FileInfo> currentFile(const FileSystem& files, const std::string& path,
                                    std::int64_t limit) {
  const fs::PathParts parts = fs::splitPath(path);
  const fs::Walk directory = files.openDirectory(parts.directory, fs::Links::never);
  // A parent that is missing, a link or no directory: nothing is reachable there.
  if (!directory) return std::nullopt;

  fs::ReadResult read = files.readFileAt(directory.directory, parts.name, {.maxBytes = limit});
  using Failure = fs::ReadResult::Failure;
  if (read.failure == Failure::unreadable && read.error == std::errc::file_too_large) {
    // Refused before a byte was read: whatever it holds, it is not what the applier writes.
    FileInfo info;
    info.oversized = true;
    info.mode = read.status.permissions();
    info.rootOwned = read.status.owner == 0;
    info.links = read.status.links;
    info.status = read.status;
    return info;
  }
  switch (read.failure) {
    case Failure::none:
      break;
    case Failure::absent:
      return std::nullopt;
    case Failure::notRegular:
      throw TavraError::io(path +
                           " exists but is not a regular file (symlink or directory); refusing "
                           "to touch it");
    case Failure::notRootOwned:
    case Failure::unreadable:
      throw TavraError::io("cannot read " + path);
  }
  FileInfo info;
  info.sha256 = FileApplier::sha256(read.bytes);
  info.mode = read.status.permissions();
  info.rootOwned = read.status.owner == 0;
  info.links = read.status.links;
  info.content = std::move(read.bytes);
  info.status = read.status;
  return info;
}

TavraError unreachableDirectory(const fs::Walk& walk, const std::string& directory) {
  if (walk.stop == fs::Walk::Stop::symlink) {
    return TavraError::io(walk.at + " is a symlink; refusing to write through it");
  }
  return ioError(fs::WriteError::cannotCreateIn(directory, walk.error));
}

TavraError ioError(const fs::WriteError& error) {
  return TavraError::io(error.what());
}

}  // namespace tavra::applier
