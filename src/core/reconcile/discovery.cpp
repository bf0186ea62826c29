#include "tavra/discovery.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>
#include <set>

#include "tavra/platform/process_table.h"

namespace tavra {
namespace {

// Info.plist and package.json files are small; anything larger is not read.
constexpr std::size_t maxReadBytes = 16 * 1024 * 1024;

struct DirCloser {
  void operator()(DIR* dir) const noexcept { closedir(dir); }
};

// The names in a directory, without "." and "..", in the listing's order; none when it cannot be
// listed.
std::optional<std::vector<std::string>> listDirectory(const std::string& path) {
  std::unique_ptr<DIR, DirCloser> dir(opendir(path.c_str()));
  if (!dir) return std::nullopt;
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir.get())) {
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  return names;
}

// The bytes of a regular file. Anything else counts as unreadable: the files looked at lie in
// folders that users control, and opening or reading a FIFO or a device could block the pass
// for good or act on the device. So a non-regular file is not opened at all, the open does not
// wait, and the type is checked again on the descriptor before any read.
std::optional<std::string> readSmallFile(const std::string& path) {
  struct stat before {};
  if (stat(path.c_str(), &before) != 0 || !S_ISREG(before.st_mode)) return std::nullopt;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::string bytes;
  char buffer[16384];
  struct stat info {};
  bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  while (ok) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0 || bytes.size() + static_cast<std::size_t>(n) > maxReadBytes) {
      ok = false;
      break;
    }
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  if (!ok) return std::nullopt;
  return bytes;
}

std::optional<struct stat> statFollowing(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return std::nullopt;
  return info;
}

// The path with every symbolic link resolved, or, when that is not possible, the path itself
// (a relative one taken from the working directory, as a file URL would be).
std::string resolved(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
  if (real) return std::string(real.get());
  if (!path.empty() && path.front() == '/') return path;
  std::unique_ptr<char, decltype(&std::free)> cwd(getcwd(nullptr, 0), &std::free);
  if (!cwd) return path;
  std::string base(cwd.get());
  return base == "/" ? "/" + path : base + "/" + path;
}

std::string lastComponent(std::string_view path) {
  auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string parentOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

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

// A path component that reads as a version: starts with a digit, has two or more dot-separated
// pieces made of digits, letters and "-", the first of digits only.
bool looksLikeVersion(const std::string& component) {
  if (component.empty() || !isDigit(component[0])) return false;
  auto pieces = splitDropEmpty(component, '.');
  if (pieces.size() < 2) return false;
  for (const auto& piece : pieces) {
    for (char c : piece) {
      if (!isDigit(c) && !isLetter(c) && c != '-') return false;
    }
  }
  return std::all_of(pieces[0].begin(), pieces[0].end(), isDigit);
}

std::optional<std::string> packageVersion(const std::string& directory) {
  std::string file = directory == "/" ? "/package.json" : directory + "/package.json";
  auto bytes = readSmallFile(file);
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

}  // namespace

Discovery::Discovery(std::optional<std::vector<LocalUser>> users,
                     std::optional<std::vector<std::string>> applicationDirectories,
                     ProcessSource processes)
    : users_(users ? std::move(*users) : localUsers()), processes_(std::move(processes)) {
  if (applicationDirectories) {
    applicationDirectories_ = std::move(*applicationDirectories);
  } else {
    applicationDirectories_.push_back("/Applications");
    for (const auto& user : users_) applicationDirectories_.push_back(user.home + "/Applications");
  }
  if (!processes_) processes_ = &Discovery::processTable;
}

std::vector<Discovery::LocalUser> Discovery::localUsers(std::string_view directory) {
  std::vector<LocalUser> users;
  std::string root(directory);
  auto names = listDirectory(root);
  if (!names) return users;
  std::sort(names->begin(), names->end());
  for (const auto& name : *names) {
    if (name.front() == '.' || name == "Shared" || name == "Guest") continue;
    std::string home = root + "/" + name;
    auto info = statFollowing(home);
    if (!info || !S_ISDIR(info->st_mode) || info->st_uid <= 499) continue;
    users.push_back({name, static_cast<std::uint32_t>(info->st_uid), home});
  }
  return users;
}

std::vector<Discovery::RunningProcess> Discovery::processTable() {
  std::vector<RunningProcess> table;
  for (auto& process : platform::listProcesses()) {
    std::optional<std::string> user;
    if (process.uid) user = platform::accountName(*process.uid);
    table.push_back({process.pid, user.value_or("?"), std::move(process.path)});
  }
  return table;
}

std::vector<Discovery::App> Discovery::scanApplications() const {
  std::vector<App> apps;
  for (const auto& directory : applicationDirectories_) {
    auto names = listDirectory(directory);
    if (!names) continue;
    std::optional<std::string> owner;
    for (const auto& user : users_) {
      if (directory.rfind(user.home + "/", 0) == 0) {
        owner = user.name;
        break;
      }
    }
    for (const auto& name : *names) {
      if (name.size() < 4 || name.compare(name.size() - 4, 4, ".app") != 0) continue;
      std::string bundle = directory + "/" + name;
      auto bytes = readSmallFile(bundle + "/Contents/Info.plist");
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
    for (auto& path : glob(candidate)) pairs.emplace_back(std::move(path), user);
  }
  return pairs;
}

std::vector<std::string> Discovery::glob(std::string_view pattern) {
  if (pattern.find('*') == std::string_view::npos) return {std::string(pattern)};
  std::vector<std::string> bases{""};
  for (const auto& component : splitDropEmpty(pattern, '/')) {
    std::vector<std::string> next;
    if (component.find('*') == std::string::npos) {
      for (const auto& base : bases) next.push_back(base + "/" + component);
    } else {
      for (const auto& base : bases) {
        auto names = listDirectory(base.empty() ? "/" : base);
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

std::optional<std::string> Discovery::versionOfExecutable(std::string_view path) {
  std::string real = resolved(std::string(path));
  std::string directory = parentOf(real);
  for (int level = 0; level < 4; ++level) {
    if (auto version = packageVersion(directory)) return version;
    if (directory == "/" || directory == ".") break;
    directory = parentOf(directory);
  }
  auto components = splitDropEmpty(real, '/');
  for (auto it = components.rbegin(); it != components.rend(); ++it) {
    if (looksLikeVersion(*it)) return *it;
  }
  return std::nullopt;
}

std::vector<Discovery::HarnessInventory> Discovery::run(const Catalog& catalog) const {
  const std::vector<RunningProcess> table = processes_();
  const std::vector<App> apps = scanApplications();
  static const std::vector<std::string> none;
  auto list =
      [](const std::optional<std::vector<std::string>>& items) -> const std::vector<std::string>& {
    return items ? *items : none;
  };

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
          entry.installations.push_back({app.path, app.user, app.version, "app"});
      }
    }
    std::set<std::string> seen;
    for (const auto& pattern : list(detect.executables)) {
      for (auto& [path, user] : expand(pattern)) {
        if (!seen.insert(path).second) continue;
        auto info = statFollowing(path);
        if (!info || !S_ISREG(info->st_mode) || (info->st_mode & 0111) == 0) continue;
        entry.installations.push_back({path, user, versionOfExecutable(path), "executable"});
      }
    }

    const auto& names = list(detect.processNames);
    std::set<std::string> nameSet(names.begin(), names.end());
    std::set<std::string> resolvedPaths;
    std::vector<std::string> appPrefixes;
    for (const auto& installation : entry.installations) {
      resolvedPaths.insert(resolved(installation.path));
      if (installation.kind == "app") appPrefixes.push_back(installation.path + "/Contents/MacOS/");
    }
    for (const auto& process : table) {
      bool match =
          nameSet.count(lastComponent(process.path)) > 0 || resolvedPaths.count(process.path) > 0 ||
          std::any_of(appPrefixes.begin(), appPrefixes.end(),
                      [&](const auto& prefix) { return process.path.rfind(prefix, 0) == 0; });
      if (match) entry.processes.push_back(process);
    }

    for (const auto& pattern : list(detect.userConfigPaths)) {
      for (auto& [path, user] : expand(pattern)) {
        if (statFollowing(path)) entry.userConfigs.push_back(std::move(path));
      }
    }
    entry.installed = !entry.installations.empty();
    entry.running = !entry.processes.empty();
    inventory.push_back(std::move(entry));
  }
  return inventory;
}

}  // namespace tavra
