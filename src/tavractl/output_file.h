// Writing the tool's own files: the profile of `profile --output`.
//
// Failures throw std::system_error: "cannot write <path>: <system text>".
#pragma once

#include <string>
#include <string_view>

namespace tavra::ctl {

// Creates or truncates `path` and writes `bytes` into it (a plain write: not atomic, links
// followed, the default permissions of a new file). A FIFO without a reader is refused rather
// than waited for.
void writeOutputFile(const std::string& path, std::string_view bytes);

}  // namespace tavra::ctl
