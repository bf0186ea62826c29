// Writing the tool's own files: the profile of `profile --output` and the signature file of
// `catalog sign`.
//
// Failures throw std::system_error: "cannot write <path>: <system text>" (or "cannot create
// <temporary>: <system text>" when the temporary file of a replacement cannot be made).
#pragma once

#include <string>
#include <string_view>

#include "tavra/platform/file_system.h"

namespace tavra::ctl {

// Creates or truncates `path` and writes `bytes` into it (a plain write: not atomic, links
// followed, the default permissions of a new file). A FIFO without a reader is refused rather
// than waited for; one with a reader is written whole, however slowly it reads.
void writeOutputFile(const FileSystem& files, const std::string& path, std::string_view bytes);

// Replaces `path` with `bytes` in one step, with the file layer's atomic write (default
// permissions of a new file). On failure the temporary file is removed and `path` is untouched.
void replaceOutputFile(const FileSystem& files, const std::string& path, std::string_view bytes);

}  // namespace tavra::ctl
