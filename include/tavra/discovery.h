// Discovery: the inventory of the agent harnesses on this computer.
//
// For every catalog harness with a detection block, run() finds its installed application
// bundles and executables, its running processes and the per-user configuration files that
// exist. Discovery only reads: it never starts, signals or changes anything and never runs a
// found executable. What lies in a user's home (a "~/" pattern, the user's application folder)
// is read as that user could read it, by the permission bits against the user's uid and groups
// (ProcessTable::accountGroups) along the whole path, links included: nothing root alone may
// see is reported for a user. Other paths are read with discovery's own rights. Nothing here
// throws: what cannot be listed, read or parsed is left out, and an unknown process owner is "?". A
// Discovery is a value; its users and application directories are fixed when it is made, and every
// run() takes the process table and the application scan afresh (once per run). Files are reached
// through the FileSystem given, processes through the ProcessTable given. Safe to use from one
// thread at a time; the static operations from any.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tavra/catalog.h"
#include "tavra/open_enum.h"
#include "tavra/platform/file_system.h"
#include "tavra/platform/process_table.h"
#include "tavra/raw_value.h"
#include "tavra/value.h"

namespace tavra {

namespace discovery {
class Reader;
}  // namespace discovery

class Discovery {
 public:
  struct LocalUser {
    std::string name;   // the account's directory name below the users directory
    std::uint32_t uid;  // the owner of that directory
    std::string home;   // the users directory, "/" and the name
    friend bool operator==(const LocalUser&, const LocalUser&) = default;
  };

  struct Installation {
    // An application bundle or an executable file; its raw text is its JSON form.
    enum class Kind { app, executable };

    std::string path;
    std::optional<std::string> user;
    std::optional<std::string> version;
    // Read back from a report, a kind this program does not know is kept as its text.
    OpenEnum<Kind> kind = Kind::app;
    friend bool operator==(const Installation&, const Installation&) = default;
  };

  struct RunningProcess {
    std::int32_t pid = 0;
    std::string user;  // the account name, or "?" when unknown
    std::string path;  // the executable's path
    friend bool operator==(const RunningProcess&, const RunningProcess&) = default;
  };

  struct HarnessInventory {
    std::string id;
    std::string displayName;
    std::string catalogStatus;  // the harness's catalog status as its raw text
    bool installed = false;     // installations is not empty
    bool running = false;       // processes is not empty
    std::vector<Installation> installations;
    std::vector<RunningProcess> processes;
    std::vector<std::string> userConfigs;
    friend bool operator==(const HarnessInventory&, const HarnessInventory&) = default;
  };

  static constexpr std::string_view usersDirectory = "/Users";

  // `users` absent: localUsers(). `applicationDirectories` absent: "/Applications", then each
  // user's home followed by "/Applications". A given list is taken as it is.
  Discovery(std::shared_ptr<const FileSystem> files,
            std::shared_ptr<const platform::ProcessTable> processes,
            std::optional<std::vector<LocalUser>> users = std::nullopt,
            std::optional<std::vector<std::string>> applicationDirectories = std::nullopt);

  const std::vector<LocalUser>& users() const noexcept { return users_; }
  const std::vector<std::string>& applicationDirectories() const noexcept {
    return applicationDirectories_;
  }

  // The accounts with a home directory below `directory`, in name order: hidden names, "Shared"
  // and "Guest" are skipped; a home counts when it is a directory (links followed) owned by a
  // uid of 500 or more.
  static std::vector<LocalUser> localUsers(const FileSystem& files,
                                           std::string_view directory = usersDirectory);

  // Every process of `processes` whose executable path can be read, in the system's order, with
  // its owner's account name.
  static std::vector<RunningProcess> processTable(const platform::ProcessTable& processes);

  // One inventory per catalog harness with a detection block, in catalog order.
  std::vector<HarnessInventory> run(const Catalog& catalog) const;

  // A detection pattern as (path, user) pairs: "~/" stands for every user's home in turn, and
  // the directories a user's candidate is matched in are listed as that user could list them.
  std::vector<std::pair<std::string, std::optional<std::string>>> expand(
      std::string_view pattern) const;

  // The paths matching `pattern`, whose components with "*" are fnmatch(3) patterns (flags 0)
  // tried against the sorted names of each directory; a pattern without "*" is returned as is.
  // Directories are listed with discovery's own rights.
  static std::vector<std::string> glob(const FileSystem& files, std::string_view pattern);

  // The version of an executable, from the nearest package.json at most three directories up
  // from its resolved path, else from a version-like component of that path; read with
  // discovery's own rights (run() reads a user's executable as that user).
  static std::optional<std::string> versionOfExecutable(const FileSystem& files,
                                                        std::string_view path);

 private:
  struct App {
    std::string path;
    std::string bundleID;
    std::optional<std::string> version;
    std::optional<std::string> user;
  };
  std::vector<App> scanApplications() const;
  // How the files of `user` are read: as that user could, or, for no user, as discovery can.
  const discovery::Reader& readerFor(const std::optional<std::string>& user) const;

  std::shared_ptr<const FileSystem> files_;
  std::shared_ptr<const platform::ProcessTable> processes_;
  std::vector<LocalUser> users_;
  std::vector<std::string> applicationDirectories_;
  std::shared_ptr<const discovery::Reader> system_;
  std::vector<std::shared_ptr<const discovery::Reader>> readers_;  // one per user, in order
};

template <>
struct RawValues<Discovery::Installation::Kind> {
  using enum Discovery::Installation::Kind;
  static constexpr CaseText<Discovery::Installation::Kind> table[] = {
      {app, "app"},
      {executable, "executable"},
  };
};

// The JSON objects of the inventory records (keys are the field names, absent optional fields
// left out). The readers ignore unknown keys and throw records::DecodingError for a missing
// required key or a value of the wrong type; an installation kind they do not know is kept as
// its text.
Value toValue(const Discovery::Installation& installation);
Value toValue(const Discovery::RunningProcess& process);
Value toValue(const Discovery::HarnessInventory& inventory);
Discovery::Installation installationFromValue(const Value& value);
Discovery::RunningProcess runningProcessFromValue(const Value& value);
Discovery::HarnessInventory harnessInventoryFromValue(const Value& value);

}  // namespace tavra
