#include "input_file.h"

#include "errors.h"

namespace tavra::ctl {

std::string readInputFile(const FileSystem& files, const std::string& path) {
  using Reason = InputFileError::Reason;
  fs::ReadOptions options;
  options.maxBytes = maxInputBytes;
  fs::ReadResult read = files.readFile(path, options);
  if (read) return std::move(read.bytes);
  if (read.error == std::errc::file_too_large) {
    throw InputFileError(Reason::tooLarge, "cannot read " + path + ": " + maxInputText);
  }
  if (read.failure == fs::ReadResult::Failure::notRegular &&
      read.error != std::errc::is_a_directory) {
    throw InputFileError(Reason::unreadable, "cannot read " + path + ": not a regular file");
  }
  throw InputFileError(Reason::unreadable,
                       fs::systemError(read.error, "cannot read " + path).what());
}

std::string readInputFileOrRefuse(const FileSystem& files, const std::string& path,
                                  const std::string& unreadableMessage) {
  try {
    return readInputFile(files, path);
  } catch (const InputFileError& error) {
    if (error.reason() == InputFileError::Reason::tooLarge) throw ValidationError(error.what());
    throw ValidationError(unreadableMessage);
  }
}

bool isOversizedInput(const FileSystem& files, const std::string& path) {
  std::error_code error;
  const std::optional<fs::FileStatus> status = files.status(path, fs::Links::follow, error);
  return status && status->isRegular() && status->size > maxInputBytes;
}

}  // namespace tavra::ctl
