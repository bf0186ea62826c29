// Writing the tool's own files: the profile of `profile --output` and the signature file of
// `catalog sign`.
//
// Neither is ever written through what is already at the path. The folder is opened from the
// root one component at a time (/etc, /tmp and /var are taken where they really are, below
// /private): a link as its last component is refused, and a link further up is followed only
// where no other user could have put it (in a folder of root's or the caller's that nobody else
// can write, or a sticky one when the link is theirs). A symbolic link at the path and a file
// with more than one link are refused,
// and a file there is replaced: a new file, mode 0644 whatever the umask, written whole and
// renamed into place. So a link planted at the path never steers the write to another file, and
// a file someone else made keeps neither its owner nor its mode nor any descriptor on it.
//
// Failures throw: std::runtime_error "cannot write <path>: ..." for a refusal, std::system_error
// "cannot write <path>: <system text>" when the folder cannot be opened, and fs::WriteError for
// the replacement itself ("cannot create <temporary>: ..." or "cannot write <path>: ..."; the
// temporary file is removed and the path left as it was).
#pragma once

#include <string>
#include <string_view>

#include "tavra/platform/file_system.h"

namespace tavra::ctl {

// The profile. A FIFO or device at `path` (a pipe into another program) is written in place
// instead, every byte, however slowly it is read; a FIFO without a reader is refused rather
// than waited for.
void writeOutputFile(const FileSystem& files, const std::string& path, std::string_view bytes);

// The signature file: whatever is at `path`, short of a refusal, is replaced.
void replaceOutputFile(const FileSystem& files, const std::string& path, std::string_view bytes);

}  // namespace tavra::ctl
