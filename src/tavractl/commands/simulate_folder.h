// The output folder of `simulate`: its path, the opening of it with the check of who can write
// there, the writes into it, and the rewriting of a report made there so that it reads as on a
// Mac.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

// Opens the output folder `folder` (standardised, as outputFolder() gives it; `out` is the
// option's text, for messages) for a simulation and gives a file system confined to it, through
// which everything of the simulation is then written.
//
// Before anything is written the folder must be safe: each folder from the root down to it
// (walked in its canonical form, as this machine places it) is reached without following any
// link, belongs to root or to one of `users`, and cannot be written by group or others, except
// that a sticky folder such as /tmp may be open to all above the output folder. Missing folders
// of it are created (0755). The same holds below it for the folders the simulation relies on,
// where they exist: the preferences folder (created when missing, 0755) with the folders on its
// way, and the support folder with its catalog, applied and backups folders, so that no
// fragment or state can have been planted there. Throws ValidationError naming the folder
// refused, or std::system_error "cannot create directory <path>: <system text>".
std::shared_ptr<const FileSystem> openSimulationFolder(std::shared_ptr<const FileSystem> files,
                                                       const std::string& folder,
                                                       const std::string& out,
                                                       const std::vector<uid_t>& users);

// Replaces the file at `path` with `bytes`, mode 0644: a new file renamed into place, so that a
// hard link, a pipe or anything else standing at the path is replaced and never written through.
// Throws fs::WriteError ("cannot create <temporary>: ..." or "cannot write <path>: ...").
void replaceFile(const FileSystem& files, const std::string& path, std::string_view bytes);

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
