// FileSystem: the one way the system reaches files and directories.
//
// The interface holds the primitives that each machine implements (open, status, create, write,
// sync, rename, remove, list, and the walk along a directory path). The operations built on
// them are written once, here: the reader, the atomic write and the directory maker. So every
// implementation and every wrapper (the fault-injecting one of the tests) shares them, and a
// fault injected into a primitive reaches every caller.
//
// Paths are the system's canonical paths (/etc, /tmp and /var below "/private"; a file key, being
// one, too): an implementation sends each path to where it lives on its machine (hostPath) and
// reports places on a path in the caller's own spelling. tavra/file_key.h tells which form of a
// file's name each layer sees. A name given together with an open directory is one
// component and is never followed when it is a symbolic link. A path or name holding a NUL
// names no file and is refused (EINVAL). Descriptors that a FileSystem returns are passed back to
// that FileSystem only.
//
// Primitives report a system failure in a std::error_code (generic category, holding the errno
// value) and never throw for it. Implementations keep no state of their own that a call changes
// and are safe to use from several threads at once.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace tavra::fs {

// The system's text for an error code ("No such file or directory"): the one place an errno
// value becomes text.
std::string systemErrorText(const std::error_code& error);
// The exception of a failed system call: `context`, ": " and the system's text.
std::system_error systemError(const std::error_code& error, const std::string& context);

// A move-only owner of one open file descriptor; closes it when destroyed or reset.
class FileDescriptor {
 public:
  FileDescriptor() noexcept = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return valid(); }
  // Gives up ownership without closing.
  int release() noexcept;
  // Closes the descriptor now (the result of close is ignored) and holds `fd` instead.
  void reset(int fd = -1) noexcept;

 private:
  int fd_ = -1;
};

// What the status of one file tells.
struct FileStatus {
  mode_t mode = 0;  // type and permission bits
  uid_t owner = 0;
  gid_t group = 0;
  dev_t device = 0;
  ino_t inode = 0;
  std::int64_t size = 0;
  std::uint64_t links = 0;              // hard links to the file
  std::chrono::nanoseconds modified{};  // the last change of the content, since the epoch

  bool isRegular() const noexcept;
  bool isDirectory() const noexcept;
  bool isSymlink() const noexcept;
  std::uint16_t permissions() const noexcept { return std::uint16_t(mode & 07777); }
  bool sameFile(const FileStatus& other) const noexcept {
    return device == other.device && inode == other.inode;
  }
  // The same file, of the same type, size, modification time, permission bits and owner: it
  // has been neither replaced, written, chmodded nor chowned in between.
  bool sameVersion(const FileStatus& other) const noexcept {
    return sameFile(other) && mode == other.mode && owner == other.owner && size == other.size &&
           modified == other.modified;
  }
};

// The name of every temporary file of the atomic write begins with this.
inline constexpr std::string_view temporaryPrefix = ".tavra-";

// Which symbolic links a path may pass through.
enum class Links {
  follow,    // every link is followed, as the system does by default
  notFinal,  // a link as the last component is refused; links above it are followed
  never,     // no link anywhere on the path: a walk from the start, one directory at a time
};

// Whether opening a file may wait: a FIFO without a writer, a device that is not ready.
enum class Wait {
  never,     // the open returns at once (a FIFO does not block)
  asNeeded,  // the open waits as the system does by default
};

// ---- paths (pure text) ----

// A path split into its directory text and its last non-empty component: "/a/b/" gives "/a"
// and "b", "/a" gives "/" and "a", "a" gives "." and "a".
struct PathParts {
  std::string directory;
  std::string name;
};
PathParts splitPath(std::string_view path);
// `directory` joined with `name` by exactly one "/".
std::string joinPath(std::string_view directory, std::string_view name);
// The non-empty components of a path, in order ("/a//b/" gives "a", "b").
std::vector<std::string> pathComponents(std::string_view path);

// ---- the directory walk and maker ----

// How the directory maker creates what is missing.
struct MakeOptions {
  // The permission bits of the directory asked for; the intermediate directories get 0755.
  // Absent: the creation defaults (0777 under the process's mask) and no explicit mode.
  std::optional<std::uint16_t> mode;
  Links links = Links::follow;
  // Every directory created is given owner 0 and group 0 (a refusal is ignored).
  bool rootOwnership = false;
};

// Where a walk along a directory path ended.
struct Walk {
  enum class Stop { none, missing, symlink, notDirectory, unreachable };

  FileDescriptor directory;  // open when stop is none
  Stop stop = Stop::none;
  std::string at;         // the path, as given, up to the component that stopped the walk
  std::error_code error;  // the system's reason (also for missing and notDirectory)
  std::vector<std::string> created;  // the directories the maker created, top-down, as given

  explicit operator bool() const noexcept { return stop == Stop::none; }
};

// ---- the reader ----

struct ReadOptions {
  // The largest file the caller's subject expects; a larger one is unreadable (EFBIG), so a
  // huge or endless file cannot exhaust memory.
  std::int64_t maxBytes = 0;
  Links links = Links::follow;
  // The file must be owned by uid 0, as checked on the descriptor that is read.
  bool requireRootOwned = false;
  // A file someone named on purpose (a path on the tool's command line): besides a regular file
  // it may be a pipe, a character device or the like, read to its end within the cap, and the
  // open and the reads wait for it as cat would (a FIFO waits for its writer). A directory is
  // still refused. Only readFile with Links::follow or notFinal honours it: an entry of an open
  // directory (readFileAt, or a walk with Links::never) is read only when it is a regular file,
  // so a FIFO found in a folder can never block a reader.
  bool anyKind = false;
};

struct ReadResult {
  enum class Failure {
    none,
    absent,        // nothing at the path, or its status cannot be taken
    notRegular,    // a directory, link (where refused), FIFO, device or socket: never read
                   // (without anyKind)
    notRootOwned,  // with requireRootOwned, a file of another owner
    unreadable,    // anything else, including a file larger than the cap
  };

  Failure failure = Failure::none;
  std::error_code error;
  FileStatus status;  // of the descriptor read (also of a file refused as larger than the cap)
  std::string bytes;

  explicit operator bool() const noexcept { return failure == Failure::none; }
};

// ---- the atomic write ----

struct WriteOptions {
  // The exact permission bits, whatever the process's mask. Absent: the creation defaults
  // (0666 under the mask).
  std::optional<std::uint16_t> mode;
  // The file is given owner 0 and group 0 before the rename; a refusal fails the write.
  bool rootOwnership = false;
  // The directory is synced after the rename as well, so that the rename itself is durable.
  bool syncDirectory = false;
};

// The failure of an atomic write: "cannot create <temporary>: <text>" when the temporary file
// could not be made (nothing is left behind), "cannot write <target>: <text>" for every later
// step (the temporary file is removed, the target untouched).
class WriteError : public std::system_error {
 public:
  static WriteError cannotCreate(std::string_view temporary, const std::error_code& error);
  // The temporary file that could not be made in `directory`, named as a fresh one would be.
  static WriteError cannotCreateIn(std::string_view directory, const std::error_code& error);
  static WriteError cannotWrite(std::string_view target, const std::error_code& error);

 private:
  WriteError(const std::error_code& error, const std::string& context);
};

}  // namespace tavra::fs

namespace tavra {

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // ---- primitives ----

  // Opens the directory at `path` with `links`. With `make`, missing directories are created
  // on the way (see MakeOptions) and listed in the result. Never throws for a system failure.
  virtual fs::Walk walk(const std::string& path, fs::Links links,
                        const fs::MakeOptions* make) const = 0;
  // The same below an open `directory`: `relative` is walked from it one component at a time
  // (nothing in it ever leads above `directory`: a ".." component is refused with EINVAL), and
  // places are reported as `shownAs` followed by the components. An empty `relative` opens
  // `directory` itself once more.
  virtual fs::Walk walkAt(const fs::FileDescriptor& directory, const std::string& shownAs,
                          const std::string& relative, fs::Links links,
                          const fs::MakeOptions* make) const = 0;

  // Opens a file for reading, without becoming its controlling terminal; with Wait::never a FIFO
  // does not block and reads do not wait either. `links` is follow or notFinal.
  virtual fs::FileDescriptor openFile(const std::string& path, fs::Links links, fs::Wait wait,
                                      std::error_code& error) const = 0;
  virtual fs::FileDescriptor openFileAt(const fs::FileDescriptor& directory,
                                        const std::string& name, std::error_code& error) const = 0;
  virtual fs::FileDescriptor openDirectoryAt(const fs::FileDescriptor& directory,
                                             const std::string& name,
                                             std::error_code& error) const = 0;
  // Creates a new file for writing; fails when anything exists at `name`.
  virtual fs::FileDescriptor createFileAt(const fs::FileDescriptor& directory,
                                          const std::string& name,
                                          std::optional<std::uint16_t> mode,
                                          std::error_code& error) const = 0;
  // Opens a file for writing, creating it (0666 under the process's mask) or emptying it. The open
  // does not wait (a FIFO without a reader fails with ENXIO); writes then wait as usual, so a
  // slow reader of a pipe gets everything. `links` is follow or notFinal.
  virtual fs::FileDescriptor openForWriting(const std::string& path, fs::Links links,
                                            std::error_code& error) const = 0;

  // Opens what is at `name` for writing as it is: nothing is created or emptied and a link there
  // is refused. The open does not wait (a FIFO without a reader fails with ENXIO); writes then
  // wait as usual.
  virtual fs::FileDescriptor openForWritingAt(const fs::FileDescriptor& directory,
                                              const std::string& name,
                                              std::error_code& error) const = 0;

  // `links` is follow or notFinal.
  virtual std::optional<fs::FileStatus> status(const std::string& path, fs::Links links,
                                               std::error_code& error) const = 0;
  virtual std::optional<fs::FileStatus> statusAt(const fs::FileDescriptor& directory,
                                                 const std::string& name,
                                                 std::error_code& error) const = 0;
  virtual std::optional<fs::FileStatus> status(const fs::FileDescriptor& file,
                                               std::error_code& error) const = 0;

  // The text stored in the symbolic link `name` in `directory`, not resolved.
  virtual std::optional<std::string> readLinkAt(const fs::FileDescriptor& directory,
                                                const std::string& name,
                                                std::error_code& error) const = 0;

  // The names in a directory without "." and "..", in the listing's order.
  virtual std::optional<std::vector<std::string>> list(const std::string& path,
                                                       std::error_code& error) const = 0;
  virtual std::optional<std::vector<std::string>> list(const fs::FileDescriptor& directory,
                                                       std::error_code& error) const = 0;

  // Reads from the current offset to the end into `into` (its content replaced, its room used);
  // more than `limit` bytes fail with EFBIG. `size` is the file's size as its status gave it (0
  // when unknown): once that many bytes are read the read ends without asking for more, so a
  // whole file takes one call.
  virtual bool read(const fs::FileDescriptor& file, std::int64_t limit, std::int64_t size,
                    std::string& into, std::error_code& error) const = 0;
  // One write: the number of bytes written, which may be fewer than given; 0 with the error.
  virtual std::size_t write(const fs::FileDescriptor& file, std::string_view data,
                            std::error_code& error) const = 0;
  virtual bool changeMode(const fs::FileDescriptor& file, std::uint16_t mode,
                          std::error_code& error) const = 0;
  virtual bool changeOwner(const fs::FileDescriptor& file, std::uint32_t owner, std::uint32_t group,
                           std::error_code& error) const = 0;
  // Flushes a file, or a directory's entries, to stable storage.
  virtual bool sync(const fs::FileDescriptor& file, std::error_code& error) const = 0;
  // Renames `from` onto `to` within one directory, replacing what is there.
  virtual bool renameAt(const fs::FileDescriptor& directory, const std::string& from,
                        const std::string& to, std::error_code& error) const = 0;
  // Removes a file (a final link itself, never what it points at); not a directory.
  virtual bool remove(const std::string& path, std::error_code& error) const = 0;
  // Removes `name`: a file, or with `emptyDirectory` only an empty directory.
  virtual bool removeAt(const fs::FileDescriptor& directory, const std::string& name,
                        bool emptyDirectory, std::error_code& error) const = 0;

  // The path with every symbolic link resolved, on this machine.
  virtual std::optional<std::string> realPath(const std::string& path) const = 0;
  virtual std::optional<std::string> workingDirectory() const = 0;

  // ---- operations built on the primitives ----

  // The one reader: the whole content of a regular file (or, with anyKind, of any file but a
  // directory). The file's status is taken before it is opened, so anything else is never
  // opened; the opened descriptor must be that same file, of an accepted kind, within the cap
  // and, when asked, owned by root.
  fs::ReadResult readFile(const std::string& path, const fs::ReadOptions& options) const;
  // The same for `name` in an open directory; a link at `name` counts as not regular. The bytes
  // are read into `buffer`'s room (a caller reading many files hands back the last result's
  // bytes, so the files share one allocation).
  fs::ReadResult readFileAt(const fs::FileDescriptor& directory, const std::string& name,
                            const fs::ReadOptions& options, std::string buffer = {}) const;

  // The system's one atomic write (with writeAtomicallyAt below): whatever puts a whole file in
  // place calls it, and the file applier's own writeAtomically only wraps it with its owner rule.
  // A temporary ".tavra-<UUID>" in the target's directory, created exclusively without following
  // a link, all bytes written, owner 0:0 when asked, the exact mode, synced, closed, renamed onto
  // the target in one step (the directory synced too when asked). The target's directory is
  // opened following links. Throws fs::WriteError. Gives the status of the file put in place, as
  // it was just before the rename (nothing when that could not be taken): what a later look at
  // the target should find if nobody has touched it since.
  std::optional<fs::FileStatus> writeAtomically(const std::string& target, std::string_view data,
                                                const fs::WriteOptions& options) const;
  // The same into `directory`, already open; `target` names the file (its last component is
  // the name in `directory`; the whole text is what messages show).
  std::optional<fs::FileStatus> writeAtomicallyAt(const fs::FileDescriptor& directory,
                                                  const std::string& target, std::string_view data,
                                                  const fs::WriteOptions& options) const;

  // A plain write, for files the tool makes for people (profiles, simulations): `path` is
  // created or emptied and written in place, not atomically; a failure leaves what was written.
  // With `regularFileOnly`, a pipe, device or the like at `path` is refused before anything is
  // written. Throws std::system_error "cannot write <path>: <text>", or std::runtime_error
  // "cannot write <path>: not a regular file".
  void writePlainly(const std::string& path, std::string_view data, fs::Links links,
                    bool regularFileOnly) const;

  // The one directory maker: `path` and every missing directory above it.
  fs::Walk makeDirectories(const std::string& path, const fs::MakeOptions& options) const {
    return walk(path, options.links, &options);
  }
  // The directory at `path`, nothing created.
  fs::Walk openDirectory(const std::string& path, fs::Links links) const {
    return walk(path, links, nullptr);
  }
};

// This machine's file system: the POSIX calls, with every path sent through hostPath().
class PosixFileSystem final : public FileSystem {
 public:
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
};

}  // namespace tavra
