// Reading the files the tool takes in: catalogs, keys, certificates, fragments, status reports.
//
// A path the administrator gave on the command line is read whatever kind of file it is: a
// regular file, a pipe, a character device such as /dev/stdin, a process substitution. Like cat,
// the tool then waits for it: a FIFO nobody writes to blocks until a writer comes. A file found
// by listing a folder, or named by the tool itself (the signature beside a catalog), is read only
// when it is a regular file, so nothing placed beside the inputs can block a run. Either way a file
// larger than Constants::maxInputFileBytes is refused (before it is read when its size is known,
// else as soon as more has come), so no input can exhaust the tool's memory.
#pragma once

#include <stdexcept>
#include <string>

#include "tavra/platform/file_system.h"

namespace tavra::ctl {

// How the tool came to a path.
enum class InputSource {
  named,  // given on the command line: any kind of file but a directory
  found,  // found or made up by the tool (an entry of a folder that was given, the signature file
          // beside a catalog): a regular file only
};

// The cap as messages put it: "larger than 64 MiB".
std::string tooLargeText();

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
// unreadable, a directory, a listed entry that is not a regular file) or "cannot read <path>:
// larger than 64 MiB".
std::string readInputFile(const FileSystem& files, const std::string& path,
                          InputSource source = InputSource::named);

// The whole file, for a command that names its own message for an unusable input: a file that
// cannot be read at all throws ValidationError `unreadableMessage`, one that is too large
// ValidationError "cannot read <path>: larger than 64 MiB".
std::string readInputFileOrRefuse(const FileSystem& files, const std::string& path,
                                  const std::string& unreadableMessage,
                                  InputSource source = InputSource::named);

}  // namespace tavra::ctl
