// ConfinedFileSystem: every path walked from the one folder it holds open, no link followed.
#include "tavra/platform/confined_file_system.h"

#include <stdexcept>

#include "tavra/platform/host_path.h"

namespace tavra {

namespace fs {

namespace {

class ConfinementCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "tavra.confined"; }
  std::string message(int /*value*/) const override { return "outside the confined folder"; }
  std::error_condition default_error_condition(int /*value*/) const noexcept override {
    return std::make_error_condition(std::errc::permission_denied);
  }
};

}  // namespace

std::error_code outsideConfinement() {
  static const ConfinementCategory category;
  return {1, category};
}

}  // namespace fs

namespace {

using fs::FileDescriptor;

constexpr std::uint16_t directoryMode = 0755;
constexpr std::uint16_t fileMode = 0644;

// The options of a make below the folder: a directory made without a mode asked for gets 0755.
fs::MakeOptions withModes(const fs::MakeOptions& make) {
  fs::MakeOptions options = make;
  if (!options.mode) options.mode = directoryMode;
  options.links = fs::Links::never;
  return options;
}

fs::Walk outside(const std::string& path) {
  fs::Walk walk;
  walk.stop = fs::Walk::Stop::unreachable;
  walk.at = path;
  walk.error = fs::outsideConfinement();
  return walk;
}

std::string joined(const std::vector<std::string>& components, std::size_t count) {
  std::string path;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) path += '/';
    path += components[i];
  }
  return path;
}

}  // namespace

ConfinedFileSystem::ConfinedFileSystem(std::shared_ptr<const FileSystem> files,
                                       FileDescriptor folder,
                                       const std::vector<std::string>& spellings)
    : files_(std::move(files)), folder_(std::move(folder)) {
  for (const std::string& spelling : spellings) {
    if (spelling.starts_with("/")) spellings_.push_back(spelling);
  }
  if (!files_ || !folder_ || spellings_.empty()) {
    throw std::invalid_argument(
        "ConfinedFileSystem needs a file system, an open folder and a path");
  }
}

std::optional<ConfinedFileSystem::Place> ConfinedFileSystem::locate(const std::string& path) const {
  if (!path.starts_with("/")) return std::nullopt;
  const std::vector<std::string> components = fs::pathComponents(path);
  for (const std::string& spelling : spellings_) {
    const std::vector<std::string> folder = fs::pathComponents(spelling);
    if (folder.size() > components.size() ||
        !std::equal(folder.begin(), folder.end(), components.begin())) {
      continue;
    }
    Place place{"/" + joined(folder, folder.size()),
                {components.begin() + std::ptrdiff_t(folder.size()), components.end()}};
    for (const std::string& component : place.below) {
      if (component == "." || component == "..") return std::nullopt;
    }
    return place;
  }
  return std::nullopt;
}

fs::Walk ConfinedFileSystem::parentOf(const Place& place) const {
  return files_->walkAt(folder_, place.folder, joined(place.below, place.below.size() - 1),
                        fs::Links::never, nullptr);
}

fs::Walk ConfinedFileSystem::walk(const std::string& path, fs::Links /*links*/,
                                  const fs::MakeOptions* make) const {
  const std::optional<Place> place = locate(path);
  if (!place) return outside(path);
  const std::string relative = joined(place->below, place->below.size());
  if (make == nullptr)
    return files_->walkAt(folder_, place->folder, relative, fs::Links::never, nullptr);
  const fs::MakeOptions options = withModes(*make);
  return files_->walkAt(folder_, place->folder, relative, fs::Links::never, &options);
}

fs::Walk ConfinedFileSystem::walkAt(const FileDescriptor& directory, const std::string& shownAs,
                                    const std::string& relative, fs::Links /*links*/,
                                    const fs::MakeOptions* make) const {
  if (make == nullptr)
    return files_->walkAt(directory, shownAs, relative, fs::Links::never, nullptr);
  const fs::MakeOptions options = withModes(*make);
  return files_->walkAt(directory, shownAs, relative, fs::Links::never, &options);
}

FileDescriptor ConfinedFileSystem::openFile(const std::string& path, fs::Links /*links*/,
                                            fs::Wait /*wait*/, std::error_code& error) const {
  // Only what a walk from the folder reaches, and never waiting: a FIFO below it is no input.
  const std::optional<Place> place = locate(path);
  if (!place) {
    error = fs::outsideConfinement();
    return {};
  }
  if (place->below.empty()) return files_->openFileAt(folder_, ".", error);
  const fs::Walk parent = parentOf(*place);
  if (!parent) {
    error = parent.error;
    return {};
  }
  return files_->openFileAt(parent.directory, place->below.back(), error);
}

FileDescriptor ConfinedFileSystem::openFileAt(const FileDescriptor& directory,
                                              const std::string& name,
                                              std::error_code& error) const {
  return files_->openFileAt(directory, name, error);
}

FileDescriptor ConfinedFileSystem::openDirectoryAt(const FileDescriptor& directory,
                                                   const std::string& name,
                                                   std::error_code& error) const {
  return files_->openDirectoryAt(directory, name, error);
}

FileDescriptor ConfinedFileSystem::createFileAt(const FileDescriptor& directory,
                                                const std::string& name,
                                                std::optional<std::uint16_t> mode,
                                                std::error_code& error) const {
  FileDescriptor file = files_->createFileAt(directory, name, mode.value_or(fileMode), error);
  // The creation mode passed the process's mask; the default is given exactly.
  if (file && !mode && !files_->changeMode(file, fileMode, error)) {
    std::error_code ignored;
    files_->removeAt(directory, name, false, ignored);
    return {};
  }
  return file;
}

FileDescriptor ConfinedFileSystem::openForWriting(const std::string& /*path*/, fs::Links /*links*/,
                                                  std::error_code& error) const {
  error = std::make_error_code(std::errc::operation_not_supported);
  return {};
}

FileDescriptor ConfinedFileSystem::openForWritingAt(const FileDescriptor& /*directory*/,
                                                    const std::string& /*name*/,
                                                    std::error_code& error) const {
  // In place is never: a hard link there may be another name of a file outside the folder.
  error = std::make_error_code(std::errc::operation_not_supported);
  return {};
}

std::optional<fs::FileStatus> ConfinedFileSystem::status(const std::string& path,
                                                         fs::Links /*links*/,
                                                         std::error_code& error) const {
  const std::optional<Place> place = locate(path);
  if (!place) {
    error = fs::outsideConfinement();
    return std::nullopt;
  }
  if (place->below.empty()) return files_->status(folder_, error);
  const fs::Walk parent = parentOf(*place);
  if (!parent) {
    error = parent.error;
    return std::nullopt;
  }
  return files_->statusAt(parent.directory, place->below.back(), error);
}

std::optional<fs::FileStatus> ConfinedFileSystem::statusAt(const FileDescriptor& directory,
                                                           const std::string& name,
                                                           std::error_code& error) const {
  return files_->statusAt(directory, name, error);
}

std::optional<std::string> ConfinedFileSystem::readLinkAt(const FileDescriptor& directory,
                                                          const std::string& name,
                                                          std::error_code& error) const {
  return files_->readLinkAt(directory, name, error);
}

std::optional<fs::FileStatus> ConfinedFileSystem::status(const FileDescriptor& file,
                                                         std::error_code& error) const {
  return files_->status(file, error);
}

std::optional<std::vector<std::string>> ConfinedFileSystem::list(const std::string& path,
                                                                 std::error_code& error) const {
  const fs::Walk directory = walk(path, fs::Links::never, nullptr);
  if (!directory) {
    error = directory.error;
    return std::nullopt;
  }
  return files_->list(directory.directory, error);
}

std::optional<std::vector<std::string>> ConfinedFileSystem::list(const FileDescriptor& directory,
                                                                 std::error_code& error) const {
  return files_->list(directory, error);
}

bool ConfinedFileSystem::read(const FileDescriptor& file, std::int64_t limit, std::int64_t size,
                              std::string& into, std::error_code& error) const {
  return files_->read(file, limit, size, into, error);
}

std::size_t ConfinedFileSystem::write(const FileDescriptor& file, std::string_view data,
                                      std::error_code& error) const {
  return files_->write(file, data, error);
}

bool ConfinedFileSystem::changeMode(const FileDescriptor& file, std::uint16_t mode,
                                    std::error_code& error) const {
  return files_->changeMode(file, mode, error);
}

bool ConfinedFileSystem::changeOwner(const FileDescriptor& file, std::uint32_t owner,
                                     std::uint32_t group, std::error_code& error) const {
  return files_->changeOwner(file, owner, group, error);
}

bool ConfinedFileSystem::sync(const FileDescriptor& file, std::error_code& error) const {
  return files_->sync(file, error);
}

bool ConfinedFileSystem::renameAt(const FileDescriptor& directory, const std::string& from,
                                  const std::string& to, std::error_code& error) const {
  return files_->renameAt(directory, from, to, error);
}

bool ConfinedFileSystem::remove(const std::string& path, std::error_code& error) const {
  const std::optional<Place> place = locate(path);
  if (!place) {
    error = fs::outsideConfinement();
    return false;
  }
  if (place->below.empty()) {
    error = std::make_error_code(std::errc::is_a_directory);
    return false;
  }
  const fs::Walk parent = parentOf(*place);
  if (!parent) {
    error = parent.error;
    return false;
  }
  return files_->removeAt(parent.directory, place->below.back(), false, error);
}

bool ConfinedFileSystem::removeAt(const FileDescriptor& directory, const std::string& name,
                                  bool emptyDirectory, std::error_code& error) const {
  return files_->removeAt(directory, name, emptyDirectory, error);
}

std::optional<std::string> ConfinedFileSystem::realPath(const std::string& path) const {
  // No link below the folder is followed, so a place that is there, and is no link itself, is
  // its own real path.
  std::error_code error;
  const std::optional<fs::FileStatus> found = status(path, fs::Links::never, error);
  if (!found || found->isSymlink()) return std::nullopt;
  const std::optional<Place> place = locate(path);
  std::string real = place->folder;
  for (const std::string& component : place->below) real = fs::joinPath(real, component);
  return hostPath(real);
}

std::optional<std::string> ConfinedFileSystem::workingDirectory() const {
  return std::nullopt;
}

}  // namespace tavra
