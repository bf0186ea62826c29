#include "tavra/managed_preferences.h"

#include <algorithm>
#include <stdexcept>
#include <system_error>

#include "tavra/constants.h"
#include "tavra/error.h"

namespace tavra {
namespace {

// Only a missing entry counts as none (also one reached through a link that leads nowhere:
// dangling, or round in a loop).
bool isAbsence(const std::error_code& error) {
  return error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory ||
         error == std::errc::too_many_symbolic_link_levels;
}

// Whether nothing is at `path` (following links). A status that cannot be taken for another
// reason (an I/O error) is thrown, so that a passing fault never looks like a policy that was
// taken away.
bool isMissing(const FileSystem& files, const std::string& path) {
  std::error_code error;
  if (files.status(path, fs::Links::follow, error)) return false;
  if (isAbsence(error)) return true;
  throw fs::systemError(error, "cannot read " + path);
}

TavraError notRootOwned(const std::string& path) {
  return TavraError::fragment(path + " is not a root-owned regular file; ignored");
}

constexpr std::string_view kPlistSuffix = ".plist";

}  // namespace

ManagedPreferences::ManagedPreferences(std::string directory, bool requireRootOwned,
                                       std::shared_ptr<const FileSystem> files)
    : directory_(std::move(directory)),
      requireRootOwned_(requireRootOwned),
      files_(std::move(files)) {
  if (!files_) throw std::invalid_argument("ManagedPreferences needs a FileSystem");
}

std::string ManagedPreferences::path(std::string_view domain) const {
  std::string result = directory_;
  result.append("/").append(domain).append(kPlistSuffix);
  return result;
}

bool ManagedPreferences::exists(std::string_view domain) const {
  std::error_code error;
  return files_->status(path(domain), fs::Links::follow, error).has_value();
}

std::optional<Value> ManagedPreferences::read(std::string_view domain) const {
  const std::string file = path(domain);
  // With the ownership rule the entry itself must be a root-owned regular file, looked at
  // without following a link and checked again on the descriptor that is read, so an entry
  // swapped for a link or another file in between is not read either. Only regular files are
  // read: a FIFO would block and a device could be endless.
  const fs::ReadResult read =
      files_->readFile(file, {.maxBytes = Constants::maxInputFileBytes,
                              .links = requireRootOwned_ ? fs::Links::notFinal : fs::Links::follow,
                              .requireRootOwned = requireRootOwned_});
  return valueOf(read, domain);
}

std::optional<Value> ManagedPreferences::valueOf(const fs::ReadResult& read,
                                                 std::string_view domain) const {
  if (read) return Value::parsePlist(read.bytes);
  using Failure = fs::ReadResult::Failure;
  const std::string file = path(domain);
  // A file that was read is there; only when it was not is its absence asked after (a link
  // whose target is missing is no file either).
  if (read.failure == Failure::absent) {
    if (isAbsence(read.error)) return std::nullopt;
    throw fs::systemError(read.error, "cannot read " + file);
  }
  if (isMissing(*files_, file)) return std::nullopt;
  if (read.failure == Failure::notRootOwned ||
      (requireRootOwned_ && read.failure == Failure::notRegular)) {
    throw notRootOwned(file);
  }
  throw TavraError::io("cannot read " + file);
}

std::optional<Value> ManagedPreferences::readIn(const fs::FileDescriptor& folder,
                                                const std::string& name, std::string_view domain,
                                                std::string& buffer) const {
  // Read relative to the folder, the name never followed: as the read by path does with the
  // ownership rule. Without it a link is followed, so a link found here is read by its path.
  fs::ReadResult read = files_->readFileAt(
      folder, name,
      {.maxBytes = Constants::maxInputFileBytes, .requireRootOwned = requireRootOwned_},
      std::move(buffer));
  if (read.failure == fs::ReadResult::Failure::notRegular && !requireRootOwned_) {
    return this->read(domain);
  }
  std::optional<Value> value = valueOf(read, domain);
  buffer = std::move(read.bytes);  // the next file is read into the same room
  return value;
}

ManagedPreferences::FragmentScan ManagedPreferences::fragments() const {
  FragmentScan scan;
  if (isMissing(*files_, directory_)) return scan;

  // The folder is opened once and its files read relative to it, each name looked up alone.
  const fs::Walk folder = files_->openDirectory(directory_, fs::Links::follow);
  std::error_code listError;
  std::optional<std::vector<std::string>> names =
      folder ? files_->list(folder.directory, listError) : files_->list(directory_, listError);
  if (!names) throw fs::systemError(listError, "cannot list " + directory_);
  // Byte order, which is code-point order for UTF-8 names.
  std::sort(names->begin(), names->end());

  // One buffer for every file read: a fresh allocation per file costs the allocator more than
  // reading the file does.
  std::string buffer;
  scan.fragments.reserve(names->size());
  for (const std::string& name : *names) {
    if (!name.starts_with(Constants::policyDomainPrefix) || !name.ends_with(kPlistSuffix)) {
      continue;
    }
    const std::string domain = name.substr(0, name.size() - kPlistSuffix.size());
    try {
      std::optional<Value> value =
          folder ? readIn(folder.directory, name, domain, buffer) : read(domain);
      if (!value) continue;
      if (std::optional<PolicyFragment> fragment =
              PolicyFragment::parse(domain, std::move(*value))) {
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
