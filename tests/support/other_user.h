// OtherUser: runs programs as another user, uid and gid 65534 ("nobody"), for the tests that check
// what an ordinary user can and cannot do.
//
// That user reaches nothing below a folder others cannot enter, and a checkout may lie below one
// (root's home is mode 0700), so what it needs (a copy of the program, the inputs, a folder of
// its own) goes into a scratch tree every user can reach, each file and folder given its mode
// explicitly. Where that cannot be had (not root, no setpriv, no such place), unavailable() says
// why, for the test to skip with.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/child_process.h"
#include "support/temp_tree.h"

namespace tavra::test {

class OtherUser {
 public:
  static constexpr uid_t uid = 65534;
  static constexpr gid_t gid = 65534;

  OtherUser();

  const std::optional<std::string>& unavailable() const noexcept { return unavailable_; }
  // The scratch tree every user can reach; only while available.
  const TempTree& tree() const { return *tree_; }

  // Copies a file or a whole folder to `relative` in the tree, readable by everyone: folders
  // 0755, files 0644 (0755 when the source can be executed). Returns the copy's path.
  std::string copy(const std::string& from, std::string_view relative) const;
  // A folder in the tree (parents made) that the user owns, mode 0755.
  std::string ownFolder(std::string_view relative) const;
  // Runs `argv` as the user, without supplementary groups, in the tree's root.
  ProcessResult run(const std::vector<std::string>& argv, std::string_view input = {}) const;

 private:
  std::optional<std::string> unavailable_;
  std::unique_ptr<TempTree> tree_;
};

}  // namespace tavra::test
