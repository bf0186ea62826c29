// TempTree: a scratch directory tree for one test, removed with everything in it at the end.
//
// It is never made below /tmp, /var or /etc: the system names paths there in their canonical
// "/private" form (in reports and state keys), so the paths a test hands in would not be the ones
// it gets back. TAVRA_TEST_TMPDIR picks the place.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace tavra::test {

class TempTree {
 public:
  TempTree();
  ~TempTree();
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& root() const noexcept { return root_; }
  // root + "/" + relative.
  std::string path(std::string_view relative) const;
  // Writes a file (parents created), gives it `mode`, returns its path.
  std::string write(std::string_view relative, std::string_view bytes, mode_t mode = 0644) const;
  // Creates a directory (parents created), returns its path.
  std::string mkdir(std::string_view relative) const;

 private:
  std::string root_;
};

// The whole content of a file; throws std::runtime_error when it cannot be read.
std::string readFile(const std::string& path);
bool exists(const std::string& path);

}  // namespace tavra::test
