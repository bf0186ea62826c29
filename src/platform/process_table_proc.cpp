#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unicode/unistr.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <vector>

#include "posix_file.h"
#include "tavra/platform/process_table.h"

namespace tavra::platform {
namespace {

std::optional<std::int32_t> pidOf(const char* name) {
  if (*name < '1' || *name > '9') return std::nullopt;
  char* end = nullptr;
  long value = std::strtol(name, &end, 10);
  if (*end != '\0' || value < 1 || value > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

std::string repairedUTF8(std::string_view bytes) {
  std::string out;
  icu::UnicodeString::fromUTF8(icu::StringPiece(bytes.data(), static_cast<int32_t>(bytes.size())))
      .toUTF8String(out);
  return out;
}

// Whether `path` names the very file that `link` leads to.
bool sameFile(const std::string& link, const std::string& path) {
  struct stat target {};
  struct stat named {};
  return ::stat(link.c_str(), &target) == 0 && ::stat(path.c_str(), &named) == 0 &&
         target.st_dev == named.st_dev && target.st_ino == named.st_ino;
}

std::optional<std::string> executablePath(std::int32_t pid) {
  std::string link = "/proc/" + std::to_string(pid) + "/exe";
  char buffer[maxPathBytes];
  ssize_t length = readlink(link.c_str(), buffer, sizeof buffer);
  if (length < 1) return std::nullopt;
  std::string_view bytes(buffer, static_cast<std::size_t>(length));
  bytes = bytes.substr(0, bytes.find('\0'));
  // The kernel marks an executable removed while it runs (a program replaced by an upgrade) by
  // appending this to its path; the process still runs what it was started as.
  constexpr std::string_view removedMark = " (deleted)";
  if (bytes.size() > removedMark.size() && bytes.ends_with(removedMark) &&
      !sameFile(link, std::string(bytes))) {
    bytes.remove_suffix(removedMark.size());
  }
  if (bytes.empty()) return std::nullopt;
  return repairedUTF8(bytes);
}

// The effective uid, the one the process acts as (the user a process listing shows): the
// second number of the "Uid:" line of /proc/<pid>/status (real, effective, saved, file system).
std::optional<std::uint32_t> effectiveUID(std::int32_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Uid:", 0) != 0) continue;
    const char* at = line.c_str() + 4;
    unsigned long uid = 0;
    for (int field = 0; field < 2; ++field) {
      char* end = nullptr;
      uid = std::strtoul(at, &end, 10);
      if (end == at) return std::nullopt;
      at = end;
    }
    if (uid > UINT32_MAX) return std::nullopt;
    return static_cast<std::uint32_t>(uid);
  }
  return std::nullopt;
}

}  // namespace

std::vector<ProcessInfo> listProcesses() noexcept {
  std::vector<ProcessInfo> table;
  try {
    std::error_code error;
    const fs::FileDescriptor proc = fs::openAt(AT_FDCWD, "/proc", O_RDONLY | O_DIRECTORY, 0, error);
    const auto names = proc ? fs::listDirectory(proc.get(), error) : std::nullopt;
    if (!names) return table;
    std::vector<std::int32_t> pids;
    for (const std::string& name : *names) {
      if (auto pid = pidOf(name.c_str())) pids.push_back(*pid);
      if (pids.size() == maxProcesses) break;
    }
    for (std::int32_t pid : pids) {
      auto path = executablePath(pid);
      if (!path) continue;
      table.push_back({pid, std::move(*path), effectiveUID(pid)});
    }
  } catch (...) {
    // Out of memory: report what was gathered.
  }
  return table;
}

namespace {

// The user database's record of `uid`, handed to `use` while its buffer lives; false when the
// database has none.
template <typename Use>
bool withAccount(std::uint32_t uid, Use&& use) {
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 1024);
  for (;;) {
    passwd record{};
    passwd* found = nullptr;
    int rc = getpwuid_r(uid, &record, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr || found->pw_name == nullptr) return false;
    use(*found);
    return true;
  }
}

}  // namespace

std::optional<std::string> accountName(std::uint32_t uid) noexcept {
  try {
    std::optional<std::string> name;
    withAccount(uid, [&](const passwd& account) { name = account.pw_name; });
    return name;
  } catch (...) {
    return std::nullopt;
  }
}

std::vector<std::uint32_t> accountGroups(std::uint32_t uid) noexcept {
  try {
    std::vector<std::uint32_t> groups;
    withAccount(uid, [&](const passwd& account) {
      groups.push_back(account.pw_gid);
      std::vector<gid_t> found(64);
      for (int round = 0; round < 8; ++round) {
        int count = static_cast<int>(found.size());
        if (getgrouplist(account.pw_name, account.pw_gid, found.data(), &count) >= 0) {
          for (int i = 0; i < count; ++i) {
            if (found[i] != account.pw_gid) groups.push_back(found[i]);
          }
          return;
        }
        // Too small: the call said how many there are.
        found.resize(
            std::max<std::size_t>(static_cast<std::size_t>(std::max(count, 0)), 2 * found.size()));
      }
    });
    return groups;
  } catch (...) {
    return {};
  }
}

}  // namespace tavra::platform
