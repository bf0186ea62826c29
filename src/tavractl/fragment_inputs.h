// FragmentInputs: the fragment files a command reads (`preview`, `simulate`, `validate`).
//
// One member, the positional `paths` (one or more files or folders). load() expands folders
// (their *.json, *.plist and *.mobileconfig entries, sorted, not recursing) and reads every file
// into policy fragments: a path given is read whatever kind of file it is (a pipe too), a folder's
// entries only when they are regular files (input_file.h). A bad file becomes one error entry and
// loading goes on with the next; only a path that does not exist, or a folder that cannot be
// listed, ends the load.
#pragma once

#include <string>
#include <vector>

#include "tavra/platform/file_system.h"
#include "tavra/policy_fragment.h"
#include "tree.h"

namespace tavra::ctl {

struct FragmentInputs {
  std::vector<std::string> paths;

  struct Loaded {
    std::vector<PolicyFragment> fragments;  // in file order, then payload order
    std::vector<std::string> errors;        // "<file>: <error text>"
  };

  // Declares `paths` on `command`.
  void setup(CommandTree& tree, CLI::App& command);

  // Throws ValidationError "<path> not found", or the system error of a folder listing.
  Loaded load(const FileSystem& files) const;

  // The files `paths` stand for, in reading order. Throws as load() does.
  std::vector<std::string> expand(const FileSystem& files) const;
};

}  // namespace tavra::ctl
