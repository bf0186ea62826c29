// How discovery reaches the files it looks at: as itself, or as one local user could.
//
// Discovery runs as root, but much of what it reports lies in users' homes, and a home's links
// can point anywhere. What it reports for a user (a version, a bundle, a directory's names, that
// a configuration path exists) must be what that user could have seen, or the inventory, which
// lands in a world-readable status file, would tell every user about root's files. So a path of
// a user is walked from "/" one component at a time, each link followed by hand (at most
// maxLinks of them), without ever letting the system follow one; every directory on the way
// must be one the user may search, a listed directory one the user may read, and a read file
// one the user may read. The permission bits decide, against the user's uid and groups, on the
// very descriptors that are then used, so a link swapped during the walk changes nothing: what
// is read is what was checked. Access control lists and other extra grants are not seen, so a
// user given more by them is reported less, never more. The directories above the user's home
// count as searchable: the system made the home, and the way to it, the user's.
//
// Discovery's own view, of the places outside the homes, is root's, but only as far as root
// alone decides what lies there. A folder on the way that another user owns or that others may
// write (the Homebrew prefix is its owner's) holds what that user chose, links and hard links
// included, so from there on the walk goes on with the rights of that user (or, where more than
// one could have written, with those every user has), never more.
//
// Nothing here throws for a file-system failure; what cannot be reached is absent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tavra/platform/file_system.h"

namespace tavra::discovery {

// The largest file discovery reads (Info.plist, package.json).
inline constexpr std::int64_t maxReadBytes = 16 * 1024 * 1024;

class Reader {
 public:
  virtual ~Reader() = default;
  // The status of what `path` names, links followed.
  virtual std::optional<fs::FileStatus> status(const std::string& path) const = 0;
  // The names in the directory at `path`, in the listing's order.
  virtual std::optional<std::vector<std::string>> list(const std::string& path) const = 0;
  // The bytes of the regular file at `path`, up to maxReadBytes; anything else (a FIFO, a
  // device) is never opened.
  virtual std::optional<std::string> read(const std::string& path) const = 0;
  // The path with every link resolved.
  virtual std::optional<std::string> resolve(const std::string& path) const = 0;
};

// Who a user is for the permission bits.
struct Identity {
  std::uint32_t uid = 0;
  std::vector<std::uint32_t> groups;  // the primary group and the others
  // Root's rights narrowed to another's on the way: narrowed again at any other controller.
  bool narrowed = false;
};

// What one user could see. Only absolute paths are walked; a relative one is not reached.
class UserReader final : public Reader {
 public:
  static constexpr int maxLinks = 32;
  // More components than this on one walk, links' texts included, and the walk gives up.
  static constexpr std::size_t maxSteps = 4096;

  // `home` is the user's home; the directories above it count as searchable.
  UserReader(const FileSystem& files, Identity identity, const std::string& home);

  std::optional<fs::FileStatus> status(const std::string& path) const override;
  std::optional<std::vector<std::string>> list(const std::string& path) const override;
  std::optional<std::string> read(const std::string& path) const override;
  std::optional<std::string> resolve(const std::string& path) const override;

 private:
  // The entry a path names once every link is followed: the folder holding it, open, its name
  // there ("." for the folder itself), its own status, and the path it was found at.
  struct Entry {
    fs::FileDescriptor folder;
    std::string name;
    fs::FileStatus status;
    std::string path;
    Identity as;  // whose rights the entry is looked at with
  };
  std::optional<Entry> find(const std::string& path) const;

  // An open directory, its status as its descriptor gives it, and where it is from "/".
  struct Directory {
    fs::FileDescriptor descriptor;
    fs::FileStatus status;
    std::vector<std::string> at;
  };
  std::optional<Directory> open(fs::FileDescriptor descriptor, std::vector<std::string> at) const;
  // The directory at `components` from "/", each one searched on the way with the rights of
  // `as`, narrowed on the way; no link followed.
  std::optional<Directory> descend(const std::vector<std::string>& components,
                                   const std::vector<std::string>& home, Identity& as) const;
  // `home` is the home's own components, resolved.
  bool maySearch(const Directory& directory, const std::vector<std::string>& home,
                 const Identity& as) const;
  static bool permits(const Identity& as, const fs::FileStatus& status, unsigned bits);
  // Root's rights give way to those of whoever else controls the folder `directory`.
  static void narrow(Identity& as, const fs::FileStatus& directory);
  const std::vector<std::string>& home() const;

  const FileSystem& files_;
  Identity identity_;
  std::string homePath_;
  // Resolved once it can be; a reader is used from one thread at a time.
  mutable std::optional<std::vector<std::string>> home_;
};

// Discovery's own view: root's rights, narrowed below a folder someone else controls.
class SystemReader final : public Reader {
 public:
  explicit SystemReader(const FileSystem& files) : reader_(files, Identity{}, "") {}
  std::optional<fs::FileStatus> status(const std::string& path) const override;
  std::optional<std::vector<std::string>> list(const std::string& path) const override;
  std::optional<std::string> read(const std::string& path) const override;
  std::optional<std::string> resolve(const std::string& path) const override;

 private:
  UserReader reader_;
};

}  // namespace tavra::discovery
