#include "tavra/managed_preferences.h"

#include <fcntl.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <system_error>

#include "tavra/constants.h"
#include "tavra/error.h"
#include "tavra/platform/file_system.h"

namespace tavra {
namespace {

bool existsFollowingLinks(const std::string& path) {
  std::error_code error;
  return fs::statAt(AT_FDCWD, path, true, error).has_value();
}

bool isRootOwnedRegular(const fs::FileStatus& status) {
  return status.isRegular() && status.owner == 0;
}

TavraError notRootOwned(const std::string& path) {
  return TavraError::fragment(path + " is not a root-owned regular file; ignored");
}

// The whole content of the regular file at `path`. With `rootOwned` the opened file is checked
// again, so an entry swapped for a link or another file after the first check is not read
// either. Only regular files are read: a FIFO would block and a device could be endless.
std::string readRegularFile(const std::string& path, bool rootOwned) {
  const TavraError cannotRead = TavraError::io("cannot read " + path);
  std::error_code error;
  const int flags = O_RDONLY | O_NONBLOCK | (rootOwned ? O_NOFOLLOW : 0);
  const fs::FileDescriptor file = fs::openAt(AT_FDCWD, path, flags, 0, error);
  if (!file) {
    if (rootOwned && error == std::errc::too_many_symbolic_link_levels) throw notRootOwned(path);
    throw cannotRead;
  }
  const std::optional<fs::FileStatus> status = fs::stat(file.get(), error);
  if (!status) throw cannotRead;
  if (rootOwned && !isRootOwnedRegular(*status)) throw notRootOwned(path);
  if (!status->isRegular()) throw cannotRead;
  std::optional<std::string> bytes =
      fs::readAll(file.get(), std::numeric_limits<std::int64_t>::max(), error);
  if (!bytes) throw cannotRead;
  return std::move(*bytes);
}

constexpr std::string_view kPlistSuffix = ".plist";

}  // namespace

std::string ManagedPreferences::path(std::string_view domain) const {
  std::string result = directory_;
  result.append("/").append(domain).append(kPlistSuffix);
  return result;
}

bool ManagedPreferences::exists(std::string_view domain) const {
  return existsFollowingLinks(path(domain));
}

std::optional<Value> ManagedPreferences::read(std::string_view domain) const {
  const std::string file = path(domain);
  if (!existsFollowingLinks(file)) return std::nullopt;
  if (requireRootOwned_) {
    std::error_code error;
    const std::optional<fs::FileStatus> entry = fs::statAt(AT_FDCWD, file, false, error);
    if (!entry || !isRootOwnedRegular(*entry)) throw notRootOwned(file);
  }
  return Value::parsePlist(readRegularFile(file, requireRootOwned_));
}

ManagedPreferences::FragmentScan ManagedPreferences::fragments() const {
  FragmentScan scan;
  if (!existsFollowingLinks(directory_)) return scan;

  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
    names.push_back(entry.path().filename().string());
  }
  // Byte order, which is code-point order for UTF-8 names.
  std::sort(names.begin(), names.end());

  for (const std::string& name : names) {
    if (!name.starts_with(Constants::policyDomainPrefix) || !name.ends_with(kPlistSuffix)) {
      continue;
    }
    const std::string domain = name.substr(0, name.size() - kPlistSuffix.size());
    try {
      std::optional<Value> value = read(domain);
      if (!value) continue;
      if (std::optional<PolicyFragment> fragment = PolicyFragment::parse(domain, *value)) {
        scan.fragments.push_back(std::move(*fragment));
      } else {
        scan.disabled.push_back(domain);
      }
    } catch (const std::exception& error) {
      scan.errors[domain] = describe(error);
    }
  }
  return scan;
}

TavraSettings ManagedPreferences::settings() const {
  std::optional<Value> value;
  try {
    value = read(Constants::settingsDomain);
  } catch (const std::exception&) {
    // An unusable settings file leaves every setting at its default.
  }
  return TavraSettings::fromValue(value);
}

}  // namespace tavra
