#include "output_file.h"

#include <fcntl.h>

#include "tavra/platform/file_system.h"

namespace tavra::ctl {

void writeOutputFile(const std::string& path, std::string_view bytes) {
  std::error_code error;
  const fs::FileDescriptor file =
      fs::openAt(AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, 0666, error);
  if (!file || !fs::writeAll(file.get(), bytes, error)) {
    throw fs::systemError(error, "cannot write " + path);
  }
}

}  // namespace tavra::ctl
