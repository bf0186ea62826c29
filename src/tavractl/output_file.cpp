#include "output_file.h"

#include <stdexcept>

#include "tavra/path_policy.h"

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

Place placeOf(const FileSystem& files, const std::string& path) {
  fs::PathParts parts = fs::splitPath(path);
  fs::Walk folder =
      files.openDirectory(PathPolicy::canonical(parts.directory), fs::Links::notFinal);
  if (!folder) {
    if (folder.stop == fs::Walk::Stop::symlink) {
      throw refused(path, "its folder " + parts.directory + " is a symbolic link");
    }
    throw cannotWrite(path, folder.error);
  }
  std::error_code error;
  std::optional<fs::FileStatus> existing = files.statusAt(folder.directory, parts.name, error);
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
  return {std::move(folder.directory), std::move(parts.name), existing};
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
