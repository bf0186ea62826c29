// Where a canonical path lives on this machine.
//
// The system names paths in canonical form: /etc, /tmp and /var below "/private", as on a Mac,
// where those three are links into /private. Allow-list checks, state keys and report texts keep
// that form. Only the layer that touches the disk asks hostPath() where the file really is; the
// host path is the last of the forms of a file's name that tavra/file_key.h lists. On a Mac the
// two names meet; on this machine /etc, /tmp and /var are real directories, so a path under
// /private/etc, /private/tmp or /private/var is sent back to /etc, /tmp or /var. Pure text work:
// no file-system access, no state; safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace tavra {

// "/private/etc", "/private/tmp", "/private/var" and the paths below them lose the "/private"
// prefix; every other text is returned unchanged.
std::string hostPath(std::string_view canonicalPath);

}  // namespace tavra
