// ConfinedFileSystem: a FileSystem that reaches nothing outside one folder.
//
// It holds the folder open and hands every path to the file system underneath as a walk from
// that descriptor. A path must name the folder or a place below it, in one of the spellings the
// folder was given with (compared component by component, so "//" counts as "/"), with no "." or
// ".." after the folder; anything else fails with outsideConfinement(). Below the folder no
// symbolic link is ever followed, whatever fs::Links the caller asks for: a link is met as the
// walk and the *At primitives meet one (refused, or seen as the link itself), so a folder swapped
// for a link while the work goes on leads nowhere. A path is never resolved from the root again.
//
// Files are only replaced, never written in place: openForWriting() and openForWritingAt() fail
// (ENOTSUP), since a hard link below the folder may be another name of a file outside it;
// writeAtomically() replaces whatever stands at the path. What it creates without a mode asked for
// gets 0755 (directories) or 0644 (files) exactly, whatever the process's file-creation mask. The
// working directory is none (a relative path names nothing here), and realPath() of a place below
// the folder is that place itself, as no link on the way is followed.
//
// Descriptors it returns belong to the file system underneath and are passed back to this one.
// Immutable once made; safe to use from several threads at once, as the one underneath is.
#pragma once

#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "tavra/platform/file_system.h"

namespace tavra::fs {

// The failure of a path outside a ConfinedFileSystem's folder: "outside the confined folder",
// equal to std::errc::permission_denied.
std::error_code outsideConfinement();

}  // namespace tavra::fs

namespace tavra {

class ConfinedFileSystem final : public FileSystem {
 public:
  // `folder` is the open folder, `spellings` the absolute paths that name it (for example
  // "/tmp/sim" and "/private/tmp/sim"); `files` is the file system underneath. Throws
  // std::invalid_argument when `files` is null, `folder` is not open or no spelling is absolute.
  ConfinedFileSystem(std::shared_ptr<const FileSystem> files, fs::FileDescriptor folder,
                     const std::vector<std::string>& spellings);

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
  // A path below the folder: the spelling of the folder it begins with, and the components after
  // it.
  struct Place {
    std::string folder;
    std::vector<std::string> below;
  };
  std::optional<Place> locate(const std::string& path) const;
  // The directory that holds the last component of `place` (which has one), open.
  fs::Walk parentOf(const Place& place) const;

  std::shared_ptr<const FileSystem> files_;
  fs::FileDescriptor folder_;
  std::vector<std::string> spellings_;
};

}  // namespace tavra
