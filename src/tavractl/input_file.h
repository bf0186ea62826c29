// Reading the files named on the command line (catalogs, keys, fragments).
//
// Only regular files are read; a FIFO, a device or a folder is refused without blocking, and a
// file larger than maxInputBytes is refused before it is read, so no input can hang the tool or
// exhaust its memory.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "tavra/platform/file_system.h"

namespace tavra::ctl {

inline constexpr std::int64_t maxInputBytes = 16 * 1024 * 1024;
// How the size limit reads in messages.
inline constexpr const char* maxInputText = "larger than 16 MiB";

class InputFileError : public std::runtime_error {
 public:
  enum class Reason { unreadable, tooLarge };
  InputFileError(Reason reason, const std::string& text)
      : std::runtime_error(text), reason_(reason) {}
  Reason reason() const noexcept { return reason_; }

 private:
  Reason reason_;
};

// The whole file. Throws InputFileError: "cannot read <path>: <system text>" (missing,
// unreadable, not a regular file) or "cannot read <path>: larger than 16 MiB".
std::string readInputFile(const FileSystem& files, const std::string& path);

// The whole file for a command that names its own message for an unusable input: a file that
// cannot be read at all throws ValidationError `unreadableMessage`, one that is too large
// ValidationError "cannot read <path>: larger than 16 MiB".
std::string readInputFileOrRefuse(const FileSystem& files, const std::string& path,
                                  const std::string& unreadableMessage);

// Whether the regular file at `path` is larger than maxInputBytes (links followed); false when
// it cannot be looked at.
bool isOversizedInput(const FileSystem& files, const std::string& path);

}  // namespace tavra::ctl
