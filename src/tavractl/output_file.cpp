#include "output_file.h"

#include <fcntl.h>

#include <filesystem>

#include "tavra/platform/digest.h"
#include "tavra/platform/file_system.h"

namespace tavra::ctl {

namespace {

// Makes writes to `fd` wait again: the descriptor was opened non-blocking only so that a FIFO
// without a reader is refused, and a pipe whose reader is slow must not fail half-way.
bool waitForWrites(int fd, std::error_code& error) noexcept {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags == -1 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
    error = fs::lastError();
    return false;
  }
  return true;
}

}  // namespace

void writeOutputFile(const std::string& path, std::string_view bytes) {
  std::error_code error;
  const fs::FileDescriptor file =
      fs::openAt(AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, 0666, error);
  if (!file || !waitForWrites(file.get(), error) || !fs::writeAll(file.get(), bytes, error)) {
    throw fs::systemError(error, "cannot write " + path);
  }
}

void replaceOutputFile(const std::string& path, std::string_view bytes) {
  const std::filesystem::path target(path);
  std::string directory = target.parent_path().string();
  if (directory.empty()) directory = ".";
  const std::string temporary = directory + "/." + target.filename().string() + "." +
                                digest::hex(digest::randomBytes(6)) + ".tmp";
  std::error_code error;
  fs::FileDescriptor file =
      fs::openAt(AT_FDCWD, temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666, error);
  if (!file) throw fs::systemError(error, "cannot create " + temporary);
  const bool written = fs::writeAll(file.get(), bytes, error) && fs::sync(file.get(), error) &&
                       fs::renameAt(AT_FDCWD, temporary, AT_FDCWD, path, error);
  file.reset();
  if (!written) {
    std::error_code ignored;
    fs::unlinkAt(AT_FDCWD, temporary, false, ignored);
    throw fs::systemError(error, "cannot write " + path);
  }
}

}  // namespace tavra::ctl
