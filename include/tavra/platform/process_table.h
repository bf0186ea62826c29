// The process table: which processes run, from which executable, under which user.
//
// listProcesses() reports every process whose executable path can be read, in the order the
// system gives them; a process whose path cannot be read is left out, and one whose owner
// cannot be read has no uid. The owner is the effective uid, the user the process acts as. At
// most maxProcesses are looked at and a path is at most maxPathBytes long. An executable removed
// while its process runs is reported under the path it was started from. Paths are UTF-8,
// invalid sequences replaced by U+FFFD.
// accountName() looks a uid up in the user database, accountGroups() gives that account's
// groups (its primary group first; none when the database does not know the uid). Nothing here
// throws; both are safe to call
// from any thread. This machine's implementation reads /proc.
//
// ProcessTable is the interface the rest of the system is given (SystemProcessTable on this
// machine, a fixed table in tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavra::platform {

struct ProcessInfo {
  std::int32_t pid = 0;
  std::string path;
  std::optional<std::uint32_t> uid;
  friend bool operator==(const ProcessInfo&, const ProcessInfo&) = default;
};

inline constexpr std::size_t maxProcesses = 8192;
inline constexpr std::size_t maxPathBytes = 4096;

std::vector<ProcessInfo> listProcesses() noexcept;

// The account name of `uid`, or no value when the user database has none.
std::optional<std::string> accountName(std::uint32_t uid) noexcept;
// The groups of the account `uid`: its primary group, then the others it belongs to.
std::vector<std::uint32_t> accountGroups(std::uint32_t uid) noexcept;

class ProcessTable {
 public:
  virtual ~ProcessTable() = default;
  virtual std::vector<ProcessInfo> processes() const = 0;
  virtual std::optional<std::string> accountName(std::uint32_t uid) const = 0;
  // A table that knows no groups gives none: only the owner and other permission bits count.
  virtual std::vector<std::uint32_t> accountGroups(std::uint32_t uid) const {
    (void)uid;
    return {};
  }
};

// This machine's process table: listProcesses() and accountName().
class SystemProcessTable final : public ProcessTable {
 public:
  std::vector<ProcessInfo> processes() const override { return listProcesses(); }
  std::optional<std::string> accountName(std::uint32_t uid) const override {
    return platform::accountName(uid);
  }
  std::vector<std::uint32_t> accountGroups(std::uint32_t uid) const override {
    return platform::accountGroups(uid);
  }
};

}  // namespace tavra::platform
