// FaultyFileSystem: a FileSystem over another one that fails on purpose, for tests that prove
// what the system leaves on disk when the disk fails (after leveldb's fault_injection_test).
//
// One fault is armed at a time: at the n-th call of a kind (counted from the arming), the call
// fails with ENOSPC or EIO, or a write writes only half of its bytes and every later write finds
// the disk full. A "crash" makes that call and every later one fail, as if the process had died
// there; dropUnsyncedData() then does what a power loss does to the files created through this
// file system: each keeps only the bytes it held at its last sync (none when never synced).
//
// Syncs are recorded, not passed on: the test's disk never loses power, so only this record of
// what was synced matters. Everything else is passed to the file system underneath. Safe to use
// from several threads at once.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "tavra/platform/file_system.h"

namespace tavra::test {

// Passes every primitive to another FileSystem (leveldb's EnvWrapper).
class FileSystemWrapper : public FileSystem {
 public:
  explicit FileSystemWrapper(std::shared_ptr<const FileSystem> target)
      : target_(std::move(target)) {}

  const FileSystem& target() const noexcept { return *target_; }

  fs::Walk walk(const std::string& path, fs::Links links,
                const fs::MakeOptions* make) const override;
  fs::Walk walkAt(const fs::FileDescriptor& directory, const std::string& shownAs,
                  const std::string& relative, fs::Links links,
                  const fs::MakeOptions* make) const override;
  fs::FileDescriptor openFile(const std::string& path, fs::Links links, fs::Wait wait,
                              std::error_code& error) const override;
  fs::FileDescriptor openFileAt(const fs::FileDescriptor& directory, const std::string& name,
                                std::error_code& error) const override;
  fs::FileDescriptor openDirectoryAt(const fs::FileDescriptor& directory, const std::string& name,
                                     std::error_code& error) const override;
  fs::FileDescriptor createFileAt(const fs::FileDescriptor& directory, const std::string& name,
                                  std::optional<std::uint16_t> mode,
                                  std::error_code& error) const override;
  fs::FileDescriptor openForWriting(const std::string& path, fs::Links links,
                                    std::error_code& error) const override;
  fs::FileDescriptor openForWritingAt(const fs::FileDescriptor& directory, const std::string& name,
                                      std::error_code& error) const override;
  std::optional<fs::FileStatus> status(const std::string& path, fs::Links links,
                                       std::error_code& error) const override;
  std::optional<fs::FileStatus> statusAt(const fs::FileDescriptor& directory,
                                         const std::string& name,
                                         std::error_code& error) const override;
  std::optional<fs::FileStatus> status(const fs::FileDescriptor& file,
                                       std::error_code& error) const override;
  std::optional<std::string> readLinkAt(const fs::FileDescriptor& directory,
                                        const std::string& name,
                                        std::error_code& error) const override;
  std::optional<std::vector<std::string>> list(const std::string& path,
                                               std::error_code& error) const override;
  std::optional<std::vector<std::string>> list(const fs::FileDescriptor& directory,
                                               std::error_code& error) const override;
  bool read(const fs::FileDescriptor& file, std::int64_t limit, std::int64_t size,
            std::string& into, std::error_code& error) const override;
  std::size_t write(const fs::FileDescriptor& file, std::string_view data,
                    std::error_code& error) const override;
  bool changeMode(const fs::FileDescriptor& file, std::uint16_t mode,
                  std::error_code& error) const override;
  bool changeOwner(const fs::FileDescriptor& file, std::uint32_t owner, std::uint32_t group,
                   std::error_code& error) const override;
  bool sync(const fs::FileDescriptor& file, std::error_code& error) const override;
  bool renameAt(const fs::FileDescriptor& directory, const std::string& from, const std::string& to,
                std::error_code& error) const override;
  bool remove(const std::string& path, std::error_code& error) const override;
  bool removeAt(const fs::FileDescriptor& directory, const std::string& name, bool emptyDirectory,
                std::error_code& error) const override;
  std::optional<std::string> realPath(const std::string& path) const override;
  std::optional<std::string> workingDirectory() const override;

 private:
  std::shared_ptr<const FileSystem> target_;
};

class FaultyFileSystem final : public FileSystemWrapper {
 public:
  // The kinds of calls that are counted; every call also counts as `any`.
  enum class Call {
    any,
    walk,  // opening a directory path (from the root or an open directory), or making one
    open,
    create,
    status,  // also reading a link's text
    list,
    read,
    write,
    changeMode,
    changeOwner,
    sync,
    rename,
    remove,
  };
  static constexpr int callKinds = 13;

  enum class Fault {
    noSpace,     // the call fails with ENOSPC
    ioError,     // the call fails with EIO
    shortWrite,  // a write writes half its bytes; the disk is full from then on (ENOSPC).
                 // Only a write gets it: another call at that point is left alone and the
                 // fault has not fired.
    crash,       // the call and every later one fail with EIO; see dropUnsyncedData()
  };

  explicit FaultyFileSystem(std::shared_ptr<const FileSystem> target);
  ~FaultyFileSystem() override;

  // Starts counting afresh; with `fault`, the `n`-th call (1-based) of kind `call` from now on
  // gets it. Forgets earlier faults, counts and crashes, and what was written before.
  void arm(Call call, std::size_t n, Fault fault);
  void disarm();
  // The calls of `call` since the last arming.
  std::size_t calls(Call call) const;
  // Whether the armed fault has happened.
  bool fired() const;

  // Every file created through this file system since the last arming loses what was written
  // after its last sync (all of it when it was never synced), wherever it now is.
  void dropUnsyncedData();

  // The primitives, with the faults.
  fs::Walk walk(const std::string& path, fs::Links links,
                const fs::MakeOptions* make) const override;
  fs::Walk walkAt(const fs::FileDescriptor& directory, const std::string& shownAs,
                  const std::string& relative, fs::Links links,
                  const fs::MakeOptions* make) const override;
  fs::FileDescriptor openFile(const std::string& path, fs::Links links, fs::Wait wait,
                              std::error_code& error) const override;
  fs::FileDescriptor openFileAt(const fs::FileDescriptor& directory, const std::string& name,
                                std::error_code& error) const override;
  fs::FileDescriptor openDirectoryAt(const fs::FileDescriptor& directory, const std::string& name,
                                     std::error_code& error) const override;
  fs::FileDescriptor createFileAt(const fs::FileDescriptor& directory, const std::string& name,
                                  std::optional<std::uint16_t> mode,
                                  std::error_code& error) const override;
  fs::FileDescriptor openForWriting(const std::string& path, fs::Links links,
                                    std::error_code& error) const override;
  fs::FileDescriptor openForWritingAt(const fs::FileDescriptor& directory, const std::string& name,
                                      std::error_code& error) const override;
  std::optional<fs::FileStatus> status(const std::string& path, fs::Links links,
                                       std::error_code& error) const override;
  std::optional<fs::FileStatus> statusAt(const fs::FileDescriptor& directory,
                                         const std::string& name,
                                         std::error_code& error) const override;
  std::optional<fs::FileStatus> status(const fs::FileDescriptor& file,
                                       std::error_code& error) const override;
  std::optional<std::string> readLinkAt(const fs::FileDescriptor& directory,
                                        const std::string& name,
                                        std::error_code& error) const override;
  std::optional<std::vector<std::string>> list(const std::string& path,
                                               std::error_code& error) const override;
  std::optional<std::vector<std::string>> list(const fs::FileDescriptor& directory,
                                               std::error_code& error) const override;
  bool read(const fs::FileDescriptor& file, std::int64_t limit, std::int64_t size,
            std::string& into, std::error_code& error) const override;
  std::size_t write(const fs::FileDescriptor& file, std::string_view data,
                    std::error_code& error) const override;
  bool changeMode(const fs::FileDescriptor& file, std::uint16_t mode,
                  std::error_code& error) const override;
  bool changeOwner(const fs::FileDescriptor& file, std::uint32_t owner, std::uint32_t group,
                   std::error_code& error) const override;
  bool sync(const fs::FileDescriptor& file, std::error_code& error) const override;
  bool renameAt(const fs::FileDescriptor& directory, const std::string& from, const std::string& to,
                std::error_code& error) const override;
  bool remove(const std::string& path, std::error_code& error) const override;
  bool removeAt(const fs::FileDescriptor& directory, const std::string& name, bool emptyDirectory,
                std::error_code& error) const override;

 private:
  // A file created through this file system: a descriptor of its own, so it can be cut back
  // wherever it was renamed to, what was written to it and what of that was synced.
  struct Written {
    fs::FileDescriptor handle;
    std::string content;
    std::string synced;
  };
  using FileID = std::pair<dev_t, ino_t>;

  enum class Outcome { proceed, fail, shortWrite };
  // Counts a call of `kind` and says what becomes of it (`error` set when it fails).
  Outcome count(Call kind, std::error_code& error) const;
  bool fails(Call kind, std::error_code& error) const;
  std::optional<FileID> idOf(const fs::FileDescriptor& file) const;

  mutable std::mutex mutex_;
  mutable std::size_t counts_[callKinds] = {};
  mutable bool crashed_ = false;
  mutable bool fired_ = false;
  mutable bool diskFull_ = false;  // after a short write
  mutable std::map<FileID, Written> written_;
  std::optional<std::pair<Call, std::size_t>> armedAt_;
  Fault fault_ = Fault::ioError;
};

// Every file below `root` whose name starts with ".tavra-" (the atomic write's temporary files).
std::vector<std::string> temporaryFiles(const std::string& root);

}  // namespace tavra::test
