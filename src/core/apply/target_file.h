// Private to the file applier: the look at a target through the file layer, and the io errors
// of its writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tavra/error.h"
#include "tavra/platform/file_system.h"

namespace tavra::applier {

// A regular file at a target, read through a no-follow descriptor. A file larger than the read
// cap is not read: it is `oversized`, with no content and no hash, and holds no bytes the
// applier could want.
struct FileInfo {
  std::string sha256;
  std::uint16_t mode = 0;  // permission bits (07777)
  bool rootOwned = false;
  std::uint64_t links = 0;  // hard links to the file
  std::string content;
  bool oversized = false;
  fs::FileStatus status;  // of the descriptor looked at
};

// The probe of a canonical target, reached without following any link: nothing when it is
// absent or its directory cannot be reached; an oversized FileInfo for a file over `limit`;
// throws TavraError::io "<p> exists but is not a regular file (symlink or directory); refusing
// to touch it" or "cannot read <p>".
std::optional<FileInfo> currentFile(const FileSystem& files, const std::string& path,
                                    std::int64_t limit);

// Why a target's directory could not be reached without following a link: a link on the way is
// named as such; anything else in the words of the atomic write that could not create its
// temporary file there.
TavraError unreachableDirectory(const fs::Walk& walk, const std::string& directory);

// Set-id bits are never carried from a file someone else made into a root-owned copy.
constexpr std::uint16_t withoutSetID(std::uint16_t mode) {
  return mode & ~std::uint16_t(06000);
}

// The io error of a failed atomic write, with the write's own text.
TavraError ioError(const fs::WriteError& error);

}  // namespace tavra::applier
