// The layout of a support directory: what the system keeps below it, under which names. The file
// applier keeps its state, applied copies and backups there, the reconcile pass its status report
// and the catalog store its cache; the machine's own support directory also holds the key files.
// The same layout serves the machine's support directory (Constants::supportDirectory, whose
// whole paths Constants spells out and the names here are taken from) and a simulation's below
// its folder.
// Paths are composed as text, the directory followed by "/" and the name; nothing is looked at
// on disk.
#pragma once

#include <string>
#include <string_view>

#include "tavra/constants.h"

namespace tavra::supportLayout {

namespace detail {
// The name of `path`, which must lie directly below the machine's support directory: anything
// else does not compile.
consteval std::string_view nameBelowSupport(std::string_view path) {
  const std::string_view support = Constants::supportDirectory;
  if (path.size() <= support.size() + 1 || !path.starts_with(support) ||
      path[support.size()] != '/' || path.find('/', support.size() + 1) != std::string_view::npos) {
    throw "not a path directly below the support directory";
  }
  return path.substr(support.size() + 1);
}
}  // namespace detail

// The names, each directly below the support directory: those of the machine's paths that
// Constants spells out, and the applied copies' folder, which only the file applier names.
inline constexpr std::string_view catalogName =
    detail::nameBelowSupport(Constants::catalogDirectory);
inline constexpr std::string_view stateName = detail::nameBelowSupport(Constants::stateFile);
inline constexpr std::string_view statusName = detail::nameBelowSupport(Constants::statusFile);
inline constexpr std::string_view backupsName =
    detail::nameBelowSupport(Constants::backupDirectory);
inline constexpr std::string_view keysName = detail::nameBelowSupport(Constants::keyDirectory);
inline constexpr std::string_view appliedName = "applied";

// `name` directly below `supportDirectory`.
inline std::string below(std::string_view supportDirectory, std::string_view name) {
  std::string path(supportDirectory);
  path += '/';
  path += name;
  return path;
}

// The catalog cache: catalog.json and its signature.
inline std::string catalogDirectory(std::string_view supportDirectory) {
  return below(supportDirectory, catalogName);
}
// The file applier's state.
inline std::string stateFile(std::string_view supportDirectory) {
  return below(supportDirectory, stateName);
}
// The report of the last pass.
inline std::string statusFile(std::string_view supportDirectory) {
  return below(supportDirectory, statusName);
}
// The last applied copy of every managed file.
inline std::string appliedDirectory(std::string_view supportDirectory) {
  return below(supportDirectory, appliedName);
}
// The backups of the files taken over.
inline std::string backupDirectory(std::string_view supportDirectory) {
  return below(supportDirectory, backupsName);
}

}  // namespace tavra::supportLayout
