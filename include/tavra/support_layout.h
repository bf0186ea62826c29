// The layout of a support directory: what the system keeps below it, under which names. The file
// applier keeps its state, applied copies and backups there, the reconcile pass its status report
// and the catalog store its cache; the machine's own support directory also holds the key files.
// The same layout serves the machine's support directory (Constants::supportDirectory, whose
// whole paths Constants spells out and this header checks) and a simulation's below its folder.
// Paths are composed as text, the directory followed by "/" and the name; nothing is looked at
// on disk.
#pragma once

#include <string>
#include <string_view>

#include "tavra/constants.h"

namespace tavra::supportLayout {

// The names, each directly below the support directory.
inline constexpr std::string_view catalogName = "catalog";
inline constexpr std::string_view stateName = "state.json";
inline constexpr std::string_view statusName = "status.json";
inline constexpr std::string_view appliedName = "applied";
inline constexpr std::string_view backupsName = "backups";
inline constexpr std::string_view keysName = "keys";

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

// Whether `path` is `name` directly below the machine's support directory.
constexpr bool isMachinePath(std::string_view path, std::string_view name) {
  const std::string_view support = Constants::supportDirectory;
  return path.size() == support.size() + 1 + name.size() && path.starts_with(support) &&
         path[support.size()] == '/' && path.ends_with(name);
}
static_assert(isMachinePath(Constants::catalogDirectory, catalogName));
static_assert(isMachinePath(Constants::stateFile, stateName));
static_assert(isMachinePath(Constants::statusFile, statusName));
static_assert(isMachinePath(Constants::backupDirectory, backupsName));
static_assert(isMachinePath(Constants::keyDirectory, keysName));

}  // namespace tavra::supportLayout
