// The output folder of `simulate`: its path, the plain writes into it, and the rewriting of a
// report made there so that it reads as on a Mac.
#pragma once

#include <string>
#include <string_view>

#include "tavra/platform/file_system.h"
#include "tavra/policy_fragment.h"
#include "tavra/status_report.h"
#include "tavra/value.h"

namespace tavra::ctl {

// `out` as an absolute path: resolved against the working directory when relative, "." and ".."
// removed, no trailing "/" ("sim/" in /work is "/work/sim"). Symbolic links are not resolved.
std::string outputFolder(const FileSystem& files, const std::string& out);

// Whether `folder` is the root of the file system, by its text or through links.
bool isFileSystemRoot(const FileSystem& files, const std::string& folder);

// `path` (absolute) moved below `folder`: plain concatenation, except below "/" itself.
std::string below(const std::string& folder, std::string_view path);

// Creates `directory` and its missing parents with the default permissions. Throws
// std::system_error "cannot create directory <path>: <system text>".
void makeDirectories(const FileSystem& files, const std::string& directory);

// Throws std::runtime_error when an existing part of `path` (a path below `folder`) is reached
// through a symbolic link, so that writing there could leave the folder.
void requireInside(const FileSystem& files, const std::string& folder, const std::string& path);

// Writes `bytes` to `path`, creating or replacing the file (default permissions, not atomic, a
// symbolic link at the path is not followed). Throws std::system_error
// "cannot write <path>: <system text>", or std::runtime_error "cannot write <path>: not a regular
// file" for a pipe, device or the like at the path.
void writePlainly(const FileSystem& files, const std::string& path, std::string_view bytes);

// The managed-preferences payload of a fragment: PolicyID, Priority, Description when present,
// Harnesses.
Value fragmentPayload(const PolicyFragment& fragment);

// The file name of a fragment's preference domain (the domain and ".plist"). Throws
// std::runtime_error for a domain that cannot be a file name (empty, ".", "..", a "/" or a NUL).
std::string fragmentFileName(const std::string& domain);

// Output and change paths below the folder lose it (in canonical form); every occurrence of the
// folder, canonical and as given, leaves the report's error texts.
void rewriteForMac(StatusReport& report, const std::string& folder);

}  // namespace tavra::ctl
