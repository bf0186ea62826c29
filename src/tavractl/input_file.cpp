#include "input_file.h"

#include "errors.h"
#include "tavra/constants.h"

namespace tavra::ctl {

std::string tooLargeText() {
  return "larger than " + std::string(Constants::maxInputFileText);
}

std::string readInputFile(const FileSystem& files, const std::string& path, InputSource source) {
  using Reason = InputFileError::Reason;
  const fs::ReadOptions options{.maxBytes = Constants::maxInputFileBytes,
                                .anyKind = source == InputSource::named};
  fs::ReadResult read = files.readFile(path, options);
  if (read) return std::move(read.bytes);
  if (read.error == std::errc::file_too_large) {
    throw InputFileError(Reason::tooLarge, "cannot read " + path + ": " + tooLargeText());
  }
  if (read.failure == fs::ReadResult::Failure::notRegular &&
      read.error != std::errc::is_a_directory) {
    throw InputFileError(Reason::unreadable, "cannot read " + path + ": not a regular file");
  }
  throw InputFileError(Reason::unreadable,
                       fs::systemError(read.error, "cannot read " + path).what());
}

std::string readInputFileOrRefuse(const FileSystem& files, const std::string& path,
                                  const std::string& unreadableMessage, InputSource source) {
  try {
    return readInputFile(files, path, source);
  } catch (const InputFileError& error) {
    if (error.reason() == InputFileError::Reason::tooLarge) throw ValidationError(error.what());
    throw ValidationError(unreadableMessage);
  }
}

}  // namespace tavra::ctl
