#include "tavra/discovery.h"

#include <fnmatch.h>

#include <algorithm>
#include <set>
#include <stdexcept>

#include "reconcile/discovery_reader.h"
#include "tavra/platform/unicode.h"

namespace tavra {
namespace {

using discovery::Reader;

// The path with every symbolic link resolved, or, when that is not possible, the path itself
// (a relative one taken from the working directory, as a file URL would be).
std::string resolved(const FileSystem& files, const Reader& reader, const std::string& path) {
  if (auto real = reader.resolve(path)) return std::move(*real);
  if (!path.empty() && path.front() == '/') return path;
  const std::optional<std::string> base = files.workingDirectory();
  if (!base) return path;
  return *base == "/" ? "/" + path : *base + "/" + path;
}

// The non-empty pieces of `text` between separators.
std::vector<std::string> splitDropEmpty(std::string_view text, char separator) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start <= text.size()) {
    auto end = text.find(separator, start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) pieces.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

// A path component that reads as a version: starts with a number, has two or more dot-separated
// pieces made of numbers, letters and "-", the first of numbers only. Numbers and letters are
// those of any script, taken per user-perceived character.
bool looksLikeVersion(const std::string& component) {
  const std::vector<std::string_view> characters = unicode::graphemeClusters(component);
  if (characters.empty() || !unicode::isNumber(characters.front())) return false;
  auto pieces = splitDropEmpty(component, '.');
  if (pieces.size() < 2) return false;
  for (const auto& piece : pieces) {
    for (const std::string_view character : unicode::graphemeClusters(piece)) {
      if (character != "-" && !unicode::isLetterOrNumber(character)) return false;
    }
  }
  const std::vector<std::string_view> first = unicode::graphemeClusters(pieces[0]);
  return std::all_of(first.begin(), first.end(), unicode::isNumber);
}

std::optional<std::string> packageVersion(const Reader& reader, const std::string& directory) {
  auto bytes = reader.read(fs::joinPath(directory, "package.json"));
  if (!bytes) return std::nullopt;
  try {
    Value package = Value::parseJSON(*bytes);
    if (const Value::Object* object = package.asObject()) {
      auto version = object->find("version");
      if (version != object->end() && version->second.isString())
        return *version->second.asString();
    }
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

std::vector<std::string> globWith(const Reader& reader, std::string_view pattern) {
  if (pattern.find('*') == std::string_view::npos) return {std::string(pattern)};
  std::vector<std::string> bases{""};
  for (const auto& component : fs::pathComponents(pattern)) {
    std::vector<std::string> next;
    if (component.find('*') == std::string::npos) {
      for (const auto& base : bases) next.push_back(base + "/" + component);
    } else {
      for (const auto& base : bases) {
        auto names = reader.list(base.empty() ? "/" : base);
        if (!names) continue;
        std::sort(names->begin(), names->end());
        for (const auto& name : *names) {
          if (fnmatch(component.c_str(), name.c_str(), 0) == 0) next.push_back(base + "/" + name);
        }
      }
    }
    bases = std::move(next);
  }
  return bases;
}

std::optional<std::string> versionWith(const FileSystem& files, const Reader& reader,
                                       std::string_view path) {
  std::string real = resolved(files, reader, std::string(path));
  std::string directory = fs::splitPath(real).directory;
  for (int level = 0; level < 4; ++level) {
    if (auto version = packageVersion(reader, directory)) return version;
    if (directory == "/" || directory == ".") break;
    directory = fs::splitPath(directory).directory;
  }
  auto components = fs::pathComponents(real);
  for (auto it = components.rbegin(); it != components.rend(); ++it) {
    if (looksLikeVersion(*it)) return *it;
  }
  return std::nullopt;
}

}  // namespace

Discovery::Discovery(std::shared_ptr<const FileSystem> files,
                     std::shared_ptr<const platform::ProcessTable> processes,
                     std::optional<std::vector<LocalUser>> users,
                     std::optional<std::vector<std::string>> applicationDirectories)
    : files_(std::move(files)), processes_(std::move(processes)) {
  if (!files_ || !processes_) {
    throw std::invalid_argument("Discovery needs a FileSystem and a ProcessTable");
  }
  users_ = users ? std::move(*users) : localUsers(*files_);
  system_ = std::make_shared<discovery::SystemReader>(*files_);
  for (const auto& user : users_) {
    discovery::Identity identity{user.uid, processes_->accountGroups(user.uid)};
    readers_.push_back(
        std::make_shared<discovery::UserReader>(*files_, std::move(identity), user.home));
  }
  if (applicationDirectories) {
    applicationDirectories_ = std::move(*applicationDirectories);
  } else {
    applicationDirectories_.push_back("/Applications");
    for (const auto& user : users_) applicationDirectories_.push_back(user.home + "/Applications");
  }
}

std::vector<Discovery::LocalUser> Discovery::localUsers(const FileSystem& files,
                                                        std::string_view directory) {
  std::vector<LocalUser> users;
  std::string root(directory);
  std::error_code error;
  auto names = files.list(root, error);
  if (!names) return users;
  std::sort(names->begin(), names->end());
  for (const auto& name : *names) {
    if (name.front() == '.' || name == "Shared" || name == "Guest") continue;
    std::string home = root + "/" + name;
    auto info = files.status(home, fs::Links::follow, error);
    if (!info || !info->isDirectory() || info->owner <= 499) continue;
    users.push_back({name, static_cast<std::uint32_t>(info->owner), home});
  }
  return users;
}

std::vector<Discovery::RunningProcess> Discovery::processTable(
    const platform::ProcessTable& processes) {
  std::vector<RunningProcess> table;
  for (auto& process : processes.processes()) {
    std::optional<std::string> user;
    if (process.uid) user = processes.accountName(*process.uid);
    table.push_back({process.pid, user.value_or("?"), std::move(process.path)});
  }
  return table;
}

const discovery::Reader& Discovery::readerFor(const std::optional<std::string>& user) const {
  if (user) {
    for (std::size_t i = 0; i < users_.size(); ++i) {
      if (users_[i].name == *user) return *readers_[i];
    }
  }
  return *system_;
}

std::vector<Discovery::App> Discovery::scanApplications() const {
  std::vector<App> apps;
  for (const auto& directory : applicationDirectories_) {
    std::optional<std::string> owner;
    for (const auto& user : users_) {
      if (directory.rfind(user.home + "/", 0) == 0) {
        owner = user.name;
        break;
      }
    }
    // A user's folder is looked into as that user could: a bundle in it, or its Info.plist,
    // may lead where the user cannot go.
    const discovery::Reader& reader = readerFor(owner);
    auto names = reader.list(directory);
    if (!names) continue;
    for (const auto& name : *names) {
      if (name.size() < 4 || name.compare(name.size() - 4, 4, ".app") != 0) continue;
      std::string bundle = directory + "/" + name;
      auto bytes = reader.read(bundle + "/Contents/Info.plist");
      if (!bytes) continue;
      try {
        Value info = Value::parsePlist(*bytes);
        const Value::Object* object = info.asObject();
        if (!object) continue;
        auto id = object->find("CFBundleIdentifier");
        if (id == object->end() || !id->second.isString()) continue;
        std::optional<std::string> version;
        auto shortVersion = object->find("CFBundleShortVersionString");
        if (shortVersion != object->end() && shortVersion->second.isString()) {
          version = *shortVersion->second.asString();
        }
        apps.push_back({bundle, *id->second.asString(), std::move(version), owner});
      } catch (const std::exception&) {
      }
    }
  }
  return apps;
}

std::vector<std::pair<std::string, std::optional<std::string>>> Discovery::expand(
    std::string_view pattern) const {
  std::vector<std::pair<std::string, std::optional<std::string>>> candidates;
  if (pattern.rfind("~/", 0) == 0) {
    for (const auto& user : users_) {
      candidates.emplace_back(user.home + std::string(pattern.substr(1)), user.name);
    }
  } else {
    candidates.emplace_back(std::string(pattern), std::nullopt);
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> pairs;
  for (const auto& [candidate, user] : candidates) {
    for (auto& path : globWith(readerFor(user), candidate))
      pairs.emplace_back(std::move(path), user);
  }
  return pairs;
}

std::vector<std::string> Discovery::glob(const FileSystem& files, std::string_view pattern) {
  return globWith(discovery::SystemReader(files), pattern);
}

std::optional<std::string> Discovery::versionOfExecutable(const FileSystem& files,
                                                          std::string_view path) {
  return versionWith(files, discovery::SystemReader(files), path);
}

std::vector<Discovery::HarnessInventory> Discovery::run(const Catalog& catalog) const {
  const std::vector<RunningProcess> table = processTable(*processes_);
  const std::vector<App> apps = scanApplications();
  const std::vector<std::string> none;
  auto list = [&none](const std::optional<std::vector<std::string>>& items)
      -> const std::vector<std::string>& { return items ? *items : none; };

  std::vector<HarnessInventory> inventory;
  for (const Harness& harness : catalog.harnesses) {
    if (!harness.detect) continue;
    const Detection& detect = *harness.detect;
    HarnessInventory entry;
    entry.id = harness.id;
    entry.displayName = harness.displayName;
    entry.catalogStatus = std::string(rawValue(harness.status));

    for (const auto& bundleID : list(detect.appBundleIDs)) {
      for (const auto& app : apps) {
        if (app.bundleID == bundleID)
          entry.installations.push_back({app.path, app.user, app.version, Installation::Kind::app});
      }
    }
    std::set<std::string> seen;
    for (const auto& pattern : list(detect.executables)) {
      for (auto& [path, user] : expand(pattern)) {
        if (!seen.insert(path).second) continue;
        const discovery::Reader& reader = readerFor(user);
        auto info = reader.status(path);
        if (!info || !info->isRegular() || (info->mode & 0111) == 0) continue;
        entry.installations.push_back(
            {path, user, versionWith(*files_, reader, path), Installation::Kind::executable});
      }
    }

    const auto& names = list(detect.processNames);
    std::set<std::string> nameSet(names.begin(), names.end());
    std::set<std::string> resolvedPaths;
    std::vector<std::string> appPrefixes;
    for (const auto& installation : entry.installations) {
      resolvedPaths.insert(resolved(*files_, readerFor(installation.user), installation.path));
      if (installation.kind == Installation::Kind::app) {
        appPrefixes.push_back(installation.path + "/Contents/MacOS/");
      }
    }
    for (const auto& process : table) {
      bool match = nameSet.count(fs::splitPath(process.path).name) > 0 ||
                   resolvedPaths.count(process.path) > 0 ||
                   std::any_of(appPrefixes.begin(), appPrefixes.end(), [&](const auto& prefix) {
                     return process.path.rfind(prefix, 0) == 0;
                   });
      if (match) entry.processes.push_back(process);
    }

    for (const auto& pattern : list(detect.userConfigPaths)) {
      for (auto& [path, user] : expand(pattern)) {
        if (readerFor(user).status(path)) entry.userConfigs.push_back(std::move(path));
      }
    }
    entry.installed = !entry.installations.empty();
    entry.running = !entry.processes.empty();
    inventory.push_back(std::move(entry));
  }
  return inventory;
}

}  // namespace tavra
