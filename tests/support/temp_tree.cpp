#include "support/temp_tree.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "tavra/path_policy.h"

namespace tavra::test {

namespace {

namespace stdfs = std::filesystem;

// Whether every user can search `folder` and each folder above it.
bool everyoneCanReach(const stdfs::path& folder) {
  for (stdfs::path at = folder;; at = at.parent_path()) {
    struct stat info {};
    if (stat(at.c_str(), &info) != 0 || (info.st_mode & S_IXOTH) == 0) return false;
    if (at == at.parent_path()) return true;
  }
}

// Where scratch trees go: the first candidate that is a real directory (no link on the way), that
// the system's path normalisation leaves alone (it names /etc, /var and /tmp /private/...), and
// that is writable. The working directory comes first; a checkout under /tmp falls back to
// /dev/shm or the home directory. A tree for everyone also needs every folder on the way open to
// others, and takes /tmp when nothing else is.
std::optional<std::string> findScratchBase(TempTree::Reach reach) {
  const bool everyone = reach == TempTree::Reach::everyone;
  std::vector<std::string> candidates;
  if (const char* chosen = std::getenv("TAVRA_TEST_TMPDIR")) candidates.emplace_back(chosen);
  candidates.push_back(stdfs::current_path().string());
  candidates.emplace_back("/dev/shm");
  if (const char* home = std::getenv("HOME")) candidates.emplace_back(home);
  if (everyone) candidates.emplace_back("/tmp");
  for (const std::string& candidate : candidates) {
    std::error_code error;
    const auto real = stdfs::canonical(candidate, error);
    if (error || real.string() != candidate) continue;
    if (PathPolicy::canonical(candidate) != candidate && candidate != "/tmp") continue;
    if (access(candidate.c_str(), W_OK | X_OK) != 0) continue;
    if (everyone && !everyoneCanReach(candidate)) continue;
    return candidate;
  }
  return std::nullopt;
}

const std::optional<std::string>& scratchBase(TempTree::Reach reach) {
  static const std::optional<std::string> owner = findScratchBase(TempTree::Reach::owner);
  static const std::optional<std::string> everyone = findScratchBase(TempTree::Reach::everyone);
  return reach == TempTree::Reach::owner ? owner : everyone;
}

// The name a death test's child gives its trees: after the test process, which removes them.
std::string childPrefix(pid_t parent) {
  return "tavra-test-child-of-" + std::to_string(parent) + ".";
}

bool inDeathTestChild() {
  return !GTEST_FLAG_GET(internal_run_death_test).empty();
}

// Makes each missing folder of `relative` below `root` with mode 0755, whatever the umask.
void makeFolders(const std::string& root, std::string_view relative) {
  std::string at = root;
  for (const auto& part : stdfs::path(relative)) {
    if (part.empty() || part == "/") continue;
    at += "/" + part.string();
    if (::mkdir(at.c_str(), 0755) == 0) {
      if (::chmod(at.c_str(), 0755) != 0) throw std::runtime_error("cannot chmod " + at);
    } else if (errno != EEXIST || !stdfs::is_directory(at)) {
      throw std::runtime_error("cannot make the directory " + at);
    }
  }
}

}  // namespace

TempTree::TempTree(Reach reach) {
  const std::optional<std::string>& base = scratchBase(reach);
  if (!base) {
    throw std::runtime_error(reach == Reach::owner
                                 ? "no scratch directory outside /tmp, /var and /etc is writable"
                                 : "no writable scratch directory that every user can reach");
  }
  base_ = *base;
  const std::string name = inDeathTestChild() ? childPrefix(getppid()) : "tavra-test.";
  std::string pattern = base_ + "/" + name + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) throw std::runtime_error("cannot make a temporary directory");
  root_ = buffer.data();
  if (reach == Reach::everyone && ::chmod(root_.c_str(), 0755) != 0) {
    throw std::runtime_error("cannot chmod " + root_);
  }
}

TempTree::~TempTree() {
  std::error_code ignored;
  stdfs::remove_all(root_, ignored);
  // What this process's death tests left: their children are done by the time a test's trees go.
  const std::string prefix = childPrefix(getpid());
  for (const auto& entry : stdfs::directory_iterator(base_, ignored)) {
    if (entry.path().filename().string().starts_with(prefix)) {
      stdfs::remove_all(entry.path(), ignored);
    }
  }
}

bool TempTree::possible(Reach reach) {
  return scratchBase(reach).has_value();
}

std::string TempTree::path(std::string_view relative) const {
  return root_ + "/" + std::string(relative);
}

std::string TempTree::write(std::string_view relative, std::string_view bytes, mode_t mode) const {
  std::string file = path(relative);
  makeFolders(root_, stdfs::path(relative).parent_path().string());
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + file);
  }
  if (chmod(file.c_str(), mode) != 0) throw std::runtime_error("cannot chmod " + file);
  return file;
}

std::string TempTree::mkdir(std::string_view relative) const {
  makeFolders(root_, relative);
  return path(relative);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

}  // namespace tavra::test
