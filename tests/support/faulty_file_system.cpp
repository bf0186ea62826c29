#include "support/faulty_file_system.h"

#include <unistd.h>

#include <filesystem>

namespace tavra::test {

using fs::FileDescriptor;

// ---- FileSystemWrapper ----

fs::Walk FileSystemWrapper::walk(const std::string& path, fs::Links links,
                                 const fs::MakeOptions* make) const {
  return target_->walk(path, links, make);
}
fs::Walk FileSystemWrapper::walkAt(const FileDescriptor& directory, const std::string& shownAs,
                                   const std::string& relative, fs::Links links,
                                   const fs::MakeOptions* make) const {
  return target_->walkAt(directory, shownAs, relative, links, make);
}
FileDescriptor FileSystemWrapper::openFile(const std::string& path, fs::Links links, fs::Wait wait,
                                           std::error_code& error) const {
  return target_->openFile(path, links, wait, error);
}
FileDescriptor FileSystemWrapper::openFileAt(const FileDescriptor& directory,
                                             const std::string& name,
                                             std::error_code& error) const {
  return target_->openFileAt(directory, name, error);
}
FileDescriptor FileSystemWrapper::openDirectoryAt(const FileDescriptor& directory,
                                                  const std::string& name,
                                                  std::error_code& error) const {
  return target_->openDirectoryAt(directory, name, error);
}
FileDescriptor FileSystemWrapper::createFileAt(const FileDescriptor& directory,
                                               const std::string& name,
                                               std::optional<std::uint16_t> mode,
                                               std::error_code& error) const {
  return target_->createFileAt(directory, name, mode, error);
}
FileDescriptor FileSystemWrapper::openForWriting(const std::string& path, fs::Links links,
                                                 std::error_code& error) const {
  return target_->openForWriting(path, links, error);
}
FileDescriptor FileSystemWrapper::openForWritingAt(const FileDescriptor& directory,
                                                   const std::string& name,
                                                   std::error_code& error) const {
  return target_->openForWritingAt(directory, name, error);
}
std::optional<fs::FileStatus> FileSystemWrapper::status(const std::string& path, fs::Links links,
                                                        std::error_code& error) const {
  return target_->status(path, links, error);
}
std::optional<fs::FileStatus> FileSystemWrapper::statusAt(const FileDescriptor& directory,
                                                          const std::string& name,
                                                          std::error_code& error) const {
  return target_->statusAt(directory, name, error);
}
std::optional<fs::FileStatus> FileSystemWrapper::status(const FileDescriptor& file,
                                                        std::error_code& error) const {
  return target_->status(file, error);
}
std::optional<std::string> FileSystemWrapper::readLinkAt(const FileDescriptor& directory,
                                                         const std::string& name,
                                                         std::error_code& error) const {
  return target_->readLinkAt(directory, name, error);
}
std::optional<std::vector<std::string>> FileSystemWrapper::list(const std::string& path,
                                                                std::error_code& error) const {
  return target_->list(path, error);
}
std::optional<std::vector<std::string>> FileSystemWrapper::list(const FileDescriptor& directory,
                                                                std::error_code& error) const {
  return target_->list(directory, error);
}
bool FileSystemWrapper::read(const FileDescriptor& file, std::int64_t limit, std::int64_t size,
                             std::string& into, std::error_code& error) const {
  return target_->read(file, limit, size, into, error);
}
std::size_t FileSystemWrapper::write(const FileDescriptor& file, std::string_view data,
                                     std::error_code& error) const {
  return target_->write(file, data, error);
}
bool FileSystemWrapper::changeMode(const FileDescriptor& file, std::uint16_t mode,
                                   std::error_code& error) const {
  return target_->changeMode(file, mode, error);
}
bool FileSystemWrapper::changeOwner(const FileDescriptor& file, std::uint32_t owner,
                                    std::uint32_t group, std::error_code& error) const {
  return target_->changeOwner(file, owner, group, error);
}
bool FileSystemWrapper::sync(const FileDescriptor& file, std::error_code& error) const {
  return target_->sync(file, error);
}
bool FileSystemWrapper::renameAt(const FileDescriptor& directory, const std::string& from,
                                 const std::string& to, std::error_code& error) const {
  return target_->renameAt(directory, from, to, error);
}
bool FileSystemWrapper::remove(const std::string& path, std::error_code& error) const {
  return target_->remove(path, error);
}
bool FileSystemWrapper::removeAt(const FileDescriptor& directory, const std::string& name,
                                 bool emptyDirectory, std::error_code& error) const {
  return target_->removeAt(directory, name, emptyDirectory, error);
}
std::optional<std::string> FileSystemWrapper::realPath(const std::string& path) const {
  return target_->realPath(path);
}
std::optional<std::string> FileSystemWrapper::workingDirectory() const {
  return target_->workingDirectory();
}

// ---- FaultyFileSystem ----

namespace {

std::error_code code(std::errc value) {
  return std::make_error_code(value);
}

}  // namespace

FaultyFileSystem::FaultyFileSystem(std::shared_ptr<const FileSystem> target)
    : FileSystemWrapper(std::move(target)) {}

FaultyFileSystem::~FaultyFileSystem() = default;

void FaultyFileSystem::arm(Call call, std::size_t n, Fault fault) {
  std::lock_guard lock(mutex_);
  for (auto& count : counts_) count = 0;
  crashed_ = fired_ = diskFull_ = false;
  written_.clear();
  armedAt_.emplace(call, n);
  fault_ = fault;
}

void FaultyFileSystem::disarm() {
  std::lock_guard lock(mutex_);
  for (auto& count : counts_) count = 0;
  crashed_ = fired_ = diskFull_ = false;
  written_.clear();
  armedAt_.reset();
}

std::size_t FaultyFileSystem::calls(Call call) const {
  std::lock_guard lock(mutex_);
  return counts_[static_cast<int>(call)];
}

bool FaultyFileSystem::fired() const {
  std::lock_guard lock(mutex_);
  return fired_;
}

bool FaultyFileSystem::fails(Call kind, std::error_code& error) const {
  return count(kind, error) == Outcome::fail;
}

FaultyFileSystem::Outcome FaultyFileSystem::count(Call kind, std::error_code& error) const {
  std::lock_guard lock(mutex_);
  if (crashed_) {
    error = code(std::errc::io_error);
    return Outcome::fail;
  }
  ++counts_[static_cast<int>(Call::any)];
  if (kind != Call::any) ++counts_[static_cast<int>(kind)];
  if (kind == Call::write && diskFull_) {
    error = code(std::errc::no_space_on_device);
    return Outcome::fail;
  }
  if (!armedAt_ || fired_) return Outcome::proceed;
  const auto [call, n] = *armedAt_;
  if ((call != Call::any && call != kind) || counts_[static_cast<int>(call)] != n) {
    return Outcome::proceed;
  }
  // A short write is a fault of writes only: any other call at that point goes on untouched and
  // the fault does not count as fired.
  if (fault_ == Fault::shortWrite && kind != Call::write) return Outcome::proceed;
  fired_ = true;
  switch (fault_) {
    case Fault::noSpace:
      error = code(std::errc::no_space_on_device);
      return Outcome::fail;
    case Fault::ioError:
      error = code(std::errc::io_error);
      return Outcome::fail;
    case Fault::crash:
      crashed_ = true;
      error = code(std::errc::io_error);
      return Outcome::fail;
    case Fault::shortWrite:
      diskFull_ = true;  // from now on
      return Outcome::shortWrite;
  }
  return Outcome::proceed;
}

std::optional<FaultyFileSystem::FileID> FaultyFileSystem::idOf(const FileDescriptor& file) const {
  std::error_code error;
  const auto status = target().status(file, error);
  if (!status) return std::nullopt;
  return FileID{status->device, status->inode};
}

fs::Walk FaultyFileSystem::walk(const std::string& path, fs::Links links,
                                const fs::MakeOptions* make) const {
  fs::Walk failed;
  if (fails(Call::walk, failed.error)) {
    failed.stop = fs::Walk::Stop::unreachable;
    failed.at = path;
    return failed;
  }
  return FileSystemWrapper::walk(path, links, make);
}

fs::Walk FaultyFileSystem::walkAt(const FileDescriptor& directory, const std::string& shownAs,
                                  const std::string& relative, fs::Links links,
                                  const fs::MakeOptions* make) const {
  fs::Walk failed;
  if (fails(Call::walk, failed.error)) {
    failed.stop = fs::Walk::Stop::unreachable;
    failed.at = shownAs;
    return failed;
  }
  return FileSystemWrapper::walkAt(directory, shownAs, relative, links, make);
}

FileDescriptor FaultyFileSystem::openFile(const std::string& path, fs::Links links, fs::Wait wait,
                                          std::error_code& error) const {
  if (fails(Call::open, error)) return {};
  return FileSystemWrapper::openFile(path, links, wait, error);
}

FileDescriptor FaultyFileSystem::openFileAt(const FileDescriptor& directory,
                                            const std::string& name, std::error_code& error) const {
  if (fails(Call::open, error)) return {};
  return FileSystemWrapper::openFileAt(directory, name, error);
}

FileDescriptor FaultyFileSystem::openDirectoryAt(const FileDescriptor& directory,
                                                 const std::string& name,
                                                 std::error_code& error) const {
  if (fails(Call::open, error)) return {};
  return FileSystemWrapper::openDirectoryAt(directory, name, error);
}

FileDescriptor FaultyFileSystem::createFileAt(const FileDescriptor& directory,
                                              const std::string& name,
                                              std::optional<std::uint16_t> mode,
                                              std::error_code& error) const {
  if (fails(Call::create, error)) return {};
  FileDescriptor file = FileSystemWrapper::createFileAt(directory, name, mode, error);
  if (!file) return file;
  if (const auto id = idOf(file)) {
    std::lock_guard lock(mutex_);
    written_[*id] = Written{FileDescriptor(::dup(file.get())), "", ""};
  }
  return file;
}

FileDescriptor FaultyFileSystem::openForWriting(const std::string& path, fs::Links links,
                                                std::error_code& error) const {
  if (fails(Call::create, error)) return {};
  return FileSystemWrapper::openForWriting(path, links, error);
}

FileDescriptor FaultyFileSystem::openForWritingAt(const FileDescriptor& directory,
                                                  const std::string& name,
                                                  std::error_code& error) const {
  if (fails(Call::open, error)) return {};
  return FileSystemWrapper::openForWritingAt(directory, name, error);
}

std::optional<fs::FileStatus> FaultyFileSystem::status(const std::string& path, fs::Links links,
                                                       std::error_code& error) const {
  if (fails(Call::status, error)) return std::nullopt;
  return FileSystemWrapper::status(path, links, error);
}

std::optional<fs::FileStatus> FaultyFileSystem::statusAt(const FileDescriptor& directory,
                                                         const std::string& name,
                                                         std::error_code& error) const {
  if (fails(Call::status, error)) return std::nullopt;
  return FileSystemWrapper::statusAt(directory, name, error);
}

std::optional<fs::FileStatus> FaultyFileSystem::status(const FileDescriptor& file,
                                                       std::error_code& error) const {
  if (fails(Call::status, error)) return std::nullopt;
  return FileSystemWrapper::status(file, error);
}

std::optional<std::string> FaultyFileSystem::readLinkAt(const FileDescriptor& directory,
                                                        const std::string& name,
                                                        std::error_code& error) const {
  if (fails(Call::status, error)) return std::nullopt;
  return FileSystemWrapper::readLinkAt(directory, name, error);
}

std::optional<std::vector<std::string>> FaultyFileSystem::list(const std::string& path,
                                                               std::error_code& error) const {
  if (fails(Call::list, error)) return std::nullopt;
  return FileSystemWrapper::list(path, error);
}

std::optional<std::vector<std::string>> FaultyFileSystem::list(const FileDescriptor& directory,
                                                               std::error_code& error) const {
  if (fails(Call::list, error)) return std::nullopt;
  return FileSystemWrapper::list(directory, error);
}

bool FaultyFileSystem::read(const FileDescriptor& file, std::int64_t limit, std::int64_t size,
                            std::string& into, std::error_code& error) const {
  if (fails(Call::read, error)) return false;
  return FileSystemWrapper::read(file, limit, size, into, error);
}

std::size_t FaultyFileSystem::write(const FileDescriptor& file, std::string_view data,
                                    std::error_code& error) const {
  const Outcome outcome = count(Call::write, error);
  if (outcome == Outcome::fail) return 0;
  const std::string_view part =
      outcome == Outcome::shortWrite && data.size() > 1 ? data.substr(0, data.size() / 2) : data;
  const std::size_t written = FileSystemWrapper::write(file, part, error);
  if (written > 0) {
    if (const auto id = idOf(file)) {
      std::lock_guard lock(mutex_);
      if (auto found = written_.find(*id); found != written_.end()) {
        found->second.content.append(part.substr(0, written));
      }
    }
  }
  return written;
}

bool FaultyFileSystem::changeMode(const FileDescriptor& file, std::uint16_t mode,
                                  std::error_code& error) const {
  if (fails(Call::changeMode, error)) return false;
  return FileSystemWrapper::changeMode(file, mode, error);
}

bool FaultyFileSystem::changeOwner(const FileDescriptor& file, std::uint32_t owner,
                                   std::uint32_t group, std::error_code& error) const {
  if (fails(Call::changeOwner, error)) return false;
  return FileSystemWrapper::changeOwner(file, owner, group, error);
}

bool FaultyFileSystem::sync(const FileDescriptor& file, std::error_code& error) const {
  if (fails(Call::sync, error)) return false;
  if (const auto id = idOf(file)) {
    std::lock_guard lock(mutex_);
    if (auto found = written_.find(*id); found != written_.end()) {
      found->second.synced = found->second.content;
    }
  }
  error.clear();
  return true;
}

bool FaultyFileSystem::renameAt(const FileDescriptor& directory, const std::string& from,
                                const std::string& to, std::error_code& error) const {
  if (fails(Call::rename, error)) return false;
  return FileSystemWrapper::renameAt(directory, from, to, error);
}

bool FaultyFileSystem::remove(const std::string& path, std::error_code& error) const {
  if (fails(Call::remove, error)) return false;
  return FileSystemWrapper::remove(path, error);
}

bool FaultyFileSystem::removeAt(const FileDescriptor& directory, const std::string& name,
                                bool emptyDirectory, std::error_code& error) const {
  if (fails(Call::remove, error)) return false;
  return FileSystemWrapper::removeAt(directory, name, emptyDirectory, error);
}

void FaultyFileSystem::dropUnsyncedData() {
  std::lock_guard lock(mutex_);
  for (auto& [id, file] : written_) {
    if (file.content == file.synced) continue;
    if (::ftruncate(file.handle.get(), 0) != 0 ||
        ::pwrite(file.handle.get(), file.synced.data(), file.synced.size(), 0) !=
            static_cast<ssize_t>(file.synced.size())) {
      throw std::system_error(errno, std::generic_category(), "cannot drop unsynced data");
    }
    file.content = file.synced;
  }
}

std::vector<std::string> temporaryFiles(const std::string& root) {
  std::vector<std::string> found;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(root, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    if (it->path().filename().string().starts_with(".tavra-")) found.push_back(it->path());
  }
  return found;
}

}  // namespace tavra::test
