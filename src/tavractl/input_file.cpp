#include "input_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "tavra/platform/file_system.h"

namespace tavra::ctl {

std::string readInputFile(const std::string& path) {
  using Reason = InputFileError::Reason;
  std::error_code error;
  const fs::FileDescriptor file = fs::openAt(AT_FDCWD, path, O_RDONLY | O_NONBLOCK, 0, error);
  std::optional<fs::FileStatus> status;
  if (file) status = fs::stat(file.get(), error);
  if (status && status->isDirectory()) error = std::make_error_code(std::errc::is_a_directory);
  if (!error && status && !status->isRegular()) {
    throw InputFileError(Reason::unreadable, "cannot read " + path + ": not a regular file");
  }
  if (error) {
    throw InputFileError(Reason::unreadable, fs::systemError(error, "cannot read " + path).what());
  }
  if (status->size > maxInputBytes) {
    throw InputFileError(Reason::tooLarge, "cannot read " + path + ": " + maxInputText);
  }
  std::optional<std::string> bytes = fs::readAll(file.get(), maxInputBytes, error);
  if (!bytes) {
    if (error == std::errc::file_too_large) {
      throw InputFileError(Reason::tooLarge, "cannot read " + path + ": " + maxInputText);
    }
    throw InputFileError(Reason::unreadable, fs::systemError(error, "cannot read " + path).what());
  }
  return std::move(*bytes);
}

bool isOversizedInput(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > maxInputBytes;
}

}  // namespace tavra::ctl
