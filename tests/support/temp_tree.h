// TempTree: a scratch directory tree for one test, removed with everything in it at the end.
//
// It is never made below /tmp, /var or /etc: the system names paths there in their canonical
// "/private" form (in reports and state keys), so the paths a test hands in would not be the ones
// it gets back. TAVRA_TEST_TMPDIR picks the place. A tree for another user (Reach::everyone)
// lies where every user can search each folder on the way; /tmp is its last resort.
//
// A death test's child runs the test from its start and dies without tearing it down: the trees
// it makes are named after the test process, whose own trees remove them when they go.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace tavra::test {

class TempTree {
 public:
  enum class Reach {
    owner,     // mode 0700, wherever the test runs
    everyone,  // mode 0755, on a path other users can walk
  };

  explicit TempTree(Reach reach = Reach::owner);
  ~TempTree();
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  // Whether a tree of `reach` can be made here (a writable place other users can reach exists).
  static bool possible(Reach reach);

  const std::string& root() const noexcept { return root_; }
  // root + "/" + relative.
  std::string path(std::string_view relative) const;
  // Writes a file (parent folders made with mode 0755), gives it `mode`, returns its path.
  std::string write(std::string_view relative, std::string_view bytes, mode_t mode = 0644) const;
  // Creates a directory (and its parents, each made with mode 0755), returns its path.
  std::string mkdir(std::string_view relative) const;

 private:
  std::string base_;
  std::string root_;
};

// The whole content of a file; throws std::runtime_error when it cannot be read.
std::string readFile(const std::string& path);
bool exists(const std::string& path);

}  // namespace tavra::test
