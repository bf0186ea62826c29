#include "simulate_folder.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <vector>

#include "errors.h"
#include "tavra/constants.h"
#include "tavra/path_policy.h"
#include "tavra/platform/confined_file_system.h"
#include "tavra/platform/file_system.h"
#include "tavra/platform/host_path.h"
#include "tavra/support_layout.h"

namespace tavra::ctl {
namespace {

// Whether `c` may continue a file name, so that a folder's text followed by it names another
// file ("/work/sim2" is not below "/work/sim").
bool continuesName(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return std::isalnum(byte) || byte >= 0x80 || c == '.' || c == '_' || c == '-' || c == '~' ||
         c == '+' || c == '@';
}

void removeFolder(std::string& text, const std::string& folder) {
  std::size_t at = 0;
  while ((at = text.find(folder, at)) != std::string::npos) {
    const std::size_t end = at + folder.size();
    if (end < text.size() && continuesName(text[end])) {
      at = end;
      continue;
    }
    text.erase(at, folder.size());
  }
}

}  // namespace

std::string outputFolder(const FileSystem& files, const std::string& out) {
  std::string absolute = out;
  if (out.empty() || out.front() != '/') {
    const std::optional<std::string> here = files.workingDirectory();
    if (!here) {
      throw fs::systemError(std::make_error_code(std::errc::no_such_file_or_directory),
                            "cannot find the working directory");
    }
    absolute = *here + "/" + out;
  }
  // "." and ".." are taken as text, as the path reads; links are not resolved.
  std::vector<std::string> kept;
  for (std::string& component : fs::pathComponents(absolute)) {
    if (component == ".") continue;
    if (component == "..") {
      if (!kept.empty()) kept.pop_back();
      continue;
    }
    kept.push_back(std::move(component));
  }
  std::string folder;
  for (const std::string& component : kept) folder += "/" + component;
  return folder.empty() ? "/" : folder;
}

bool isFileSystemRoot(const FileSystem& files, const std::string& folder) {
  return folder == "/" || files.realPath(folder) == "/";
}

std::string below(const std::string& folder, std::string_view path) {
  if (folder == "/") return std::string(path);
  return folder + std::string(path);
}

namespace {

// Who may own the folders of a simulation, and the option's text for messages.
struct FolderRule {
  const std::vector<uid_t>& users;
  const std::string& out;

  ValidationError refuse(const std::string& folder, const std::string& why) const {
    return ValidationError("--out " + out + ": " + folder + " " + why);
  }
};

// Checks the folder open at `directory`, shown as `shown`. `strict`: no write for group or others
// at all (the output folder and the folders below it); above it a sticky folder (/tmp) may be
// open to all, as nobody but its owner can move or remove what another user put there.
void requireSafe(const FileSystem& files, const fs::FileDescriptor& directory,
                 const std::string& shown, bool strict, const FolderRule& rule) {
  std::error_code error;
  const std::optional<fs::FileStatus> status = files.status(directory, error);
  if (!status) throw fs::systemError(error, "cannot look at " + shown);
  const bool trusted = status->owner == 0 || std::find(rule.users.begin(), rule.users.end(),
                                                       status->owner) != rule.users.end();
  if (!trusted) {
    throw rule.refuse(shown, "belongs to uid " + std::to_string(status->owner) +
                                 ", neither root nor the user running simulate");
  }
  const bool openToOthers = (status->mode & (S_IWGRP | S_IWOTH)) != 0;
  const bool sticky = (status->mode & S_ISVTX) != 0;
  if (openToOthers && (strict || !sticky)) {
    throw rule.refuse(shown, "can be written by other users");
  }
}

// The folder `name` in the folder open at `directory` (shown as `parent`), opened without
// following a link; created (0755) when it is missing and `create` is set; nothing when it is
// missing and not created.
std::optional<fs::FileDescriptor> openFolder(const FileSystem& files,
                                             const fs::FileDescriptor& directory,
                                             const std::string& parent, const std::string& name,
                                             bool create, const FolderRule& rule) {
  const std::string shown = fs::joinPath(parent, name);
  const auto refuseLink = [&] {
    return rule.refuse(shown,
                       "is a symbolic link; simulate writes nothing through a symbolic link");
  };
  std::error_code error;
  fs::FileDescriptor opened = files.openDirectoryAt(directory, name, error);
  if (opened) return opened;
  std::error_code lookError;
  const std::optional<fs::FileStatus> entry = files.statusAt(directory, name, lookError);
  if (entry && entry->isSymlink()) throw refuseLink();
  if (entry && !entry->isDirectory()) {
    throw fs::systemError(std::make_error_code(std::errc::not_a_directory),
                          "cannot create directory " + shown);
  }
  if (entry) throw fs::systemError(error, "cannot open directory " + shown);
  if (!create) {
    if (lookError == std::errc::no_such_file_or_directory) return std::nullopt;
    throw fs::systemError(lookError, "cannot open directory " + shown);
  }
  const fs::MakeOptions make{.mode = 0755, .links = fs::Links::never};
  fs::Walk made = files.walkAt(directory, parent, name, fs::Links::never, &make);
  if (made.stop == fs::Walk::Stop::symlink) throw refuseLink();
  if (made.stop == fs::Walk::Stop::notDirectory) {
    throw fs::systemError(std::make_error_code(std::errc::not_a_directory),
                          "cannot create directory " + shown);
  }
  if (!made) throw fs::systemError(made.error, "cannot create directory " + shown);
  return std::move(made.directory);
}

// The folders of `relative` below the output folder open at `folder` (shown as `shown`), each
// checked as the output folder is, as far as they exist (or all of them, created when missing,
// with `create`).
void checkBelow(const FileSystem& files, const fs::FileDescriptor& folder, const std::string& shown,
                std::string_view relative, bool create, const FolderRule& rule) {
  const fs::FileDescriptor* at = &folder;
  fs::FileDescriptor held;
  std::string place = shown;
  for (const std::string& name : fs::pathComponents(relative)) {
    std::optional<fs::FileDescriptor> next = openFolder(files, *at, place, name, create, rule);
    if (!next) return;
    place = fs::joinPath(place, name);
    requireSafe(files, *next, place, /*strict=*/true, rule);
    held = std::move(*next);
    at = &held;
  }
}

}  // namespace

std::shared_ptr<const FileSystem> openSimulationFolder(std::shared_ptr<const FileSystem> files,
                                                       const std::string& folder,
                                                       const std::string& out,
                                                       const std::vector<uid_t>& users) {
  const FolderRule rule{users, out};
  // The canonical form has no link on a Mac (/private/tmp, not /tmp); this machine places it
  // back where it lives.
  const std::string host = hostPath(PathPolicy::canonical(folder));
  const std::vector<std::string> components = fs::pathComponents(host);
  fs::Walk top = files->openDirectory("/", fs::Links::never);
  if (!top) throw fs::systemError(top.error, "cannot open directory /");
  fs::FileDescriptor current = std::move(top.directory);
  std::string shown = "/";
  requireSafe(*files, current, shown, components.empty(), rule);
  for (std::size_t i = 0; i < components.size(); ++i) {
    current = *openFolder(*files, current, shown, components[i], /*create=*/true, rule);
    shown = fs::joinPath(shown, components[i]);
    requireSafe(*files, current, shown, /*strict=*/i + 1 == components.size(), rule);
  }

  // What is there is looked at before the preferences folder is made.
  const std::string support(Constants::supportDirectory);
  const std::string preferences(Constants::managedPreferencesDirectory);
  for (const std::string& below :
       {support, supportLayout::catalogDirectory(support), supportLayout::appliedDirectory(support),
        supportLayout::backupDirectory(support), preferences}) {
    checkBelow(*files, current, shown, below, /*create=*/false, rule);
  }
  checkBelow(*files, current, shown, preferences, /*create=*/true, rule);
  return std::make_shared<const ConfinedFileSystem>(
      std::move(files), std::move(current),
      std::vector<std::string>{folder, PathPolicy::canonical(folder)});
}

void replaceFile(const FileSystem& files, const std::string& path, std::string_view bytes) {
  files.writeAtomically(path, bytes, {.mode = 0644});
}

Value fragmentPayload(const PolicyFragment& fragment) {
  Value::Object harnesses;
  for (const auto& [harnessID, outputs] : fragment.harnesses) harnesses.emplace(harnessID, outputs);
  Value::Object payload{
      {"PolicyID", fragment.id},
      {"Priority", fragment.priority},
      {"Harnesses", std::move(harnesses)},
  };
  if (fragment.description) payload.emplace("Description", *fragment.description);
  return payload;
}

std::string fragmentFileName(const std::string& domain) {
  if (domain.empty() || domain == "." || domain == ".." ||
      domain.find_first_of(std::string("/\0", 2)) != std::string::npos) {
    throw std::runtime_error("policy domain is not a file name: " + domain);
  }
  return domain + ".plist";
}

void rewriteForMac(StatusReport& report, const std::string& folder) {
  if (folder == "/") return;
  const std::string canonicalFolder = PathPolicy::canonical(folder);
  const auto strip = [&](std::string& path) {
    const std::string canonicalPath = PathPolicy::canonical(path);
    if (canonicalPath.size() > canonicalFolder.size() &&
        canonicalPath.compare(0, canonicalFolder.size(), canonicalFolder) == 0 &&
        canonicalPath[canonicalFolder.size()] == '/') {
      path = canonicalPath.substr(canonicalFolder.size());
    }
  };
  for (auto& harness : report.harnesses) {
    for (auto& output : harness.outputs) strip(output);
  }
  for (auto& change : report.changes) strip(change.path);
  for (auto& error : report.errors) {
    removeFolder(error, canonicalFolder);
    removeFolder(error, folder);
  }
}

}  // namespace tavra::ctl
