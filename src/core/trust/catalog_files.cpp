#include "trust/catalog_files.h"

#include <fcntl.h>

#include <exception>
#include <filesystem>

#include "tavra/platform/digest.h"
#include "tavra/platform/file_system.h"

namespace tavra::catalog_files {

namespace {

// Files read whole (the cache, file URLs) are catalogs of some kilobytes; the cap only keeps a
// wrong path (a device, a huge file) from exhausting memory.
constexpr std::int64_t maxFileBytes = 64 << 20;

}  // namespace

std::string read(const std::string& path) {
  std::error_code error;
  const fs::FileDescriptor file = fs::openAt(AT_FDCWD, path, O_RDONLY | O_NONBLOCK, 0, error);
  if (!file) throw fs::systemError(error, "cannot read " + path);
  auto bytes = fs::readAll(file.get(), maxFileBytes, error);
  if (!bytes) throw fs::systemError(error, "cannot read " + path);
  return std::move(*bytes);
}

std::optional<std::string> readIfPossible(const std::string& path) {
  try {
    return read(path);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Creates the directory and any missing parents with mode 0755; an existing one is kept as is.
void makeDirectories(const std::string& directory) {
  namespace stdfs = std::filesystem;
  const stdfs::path target(directory);
  stdfs::path current;
  for (const auto& part : target) {
    current /= part;
    if (part == target.root_path() || part.empty()) continue;
    std::error_code error;
    if (stdfs::is_directory(current, error)) continue;
    if (stdfs::create_directory(current, error)) {
      stdfs::permissions(current, stdfs::perms(0755), stdfs::perm_options::replace, error);
    }
    if (error && !stdfs::is_directory(current)) {
      throw fs::systemError(error, "cannot create directory " + current.string());
    }
  }
}

// Replaces directory/name in one step: a temporary file in the same directory (created with the
// process's default permissions), written, synced and renamed over the target. On failure the
// temporary file is removed and the target is untouched.
void writeAtomically(const std::string& directory, std::string_view name, std::string_view data) {
  const std::string target = directory + "/" + std::string(name);
  const std::string temporary =
      directory + "/." + std::string(name) + "." + digest::hex(digest::randomBytes(6)) + ".tmp";
  std::error_code error;
  fs::FileDescriptor file =
      fs::openAt(AT_FDCWD, temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666, error);
  if (!file) throw fs::systemError(error, "cannot create " + temporary);
  const bool written = fs::writeAll(file.get(), data, error) && fs::sync(file.get(), error) &&
                       fs::renameAt(AT_FDCWD, temporary, AT_FDCWD, target, error);
  if (!written) {
    file.reset();
    std::error_code ignored;
    fs::unlinkAt(AT_FDCWD, temporary, false, ignored);
    throw fs::systemError(error, "cannot write " + target);
  }
  file.reset();
  // Make the rename itself durable.
  const fs::FileDescriptor parent =
      fs::openAt(AT_FDCWD, directory, O_RDONLY | O_DIRECTORY, 0, error);
  if (parent) fs::sync(parent.get(), error);
}

}  // namespace tavra::catalog_files
