#include "support/temp_tree.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "tavra/path_policy.h"

namespace tavra::test {

namespace {

// Where scratch trees go: the first candidate that is a real directory (no link on the way), that
// the system's path normalisation leaves alone (it names /etc, /var and /tmp /private/...), and
// that is writable. The working directory comes first; a checkout under /tmp falls back to
// /dev/shm or the home directory.
std::string scratchBase() {
  std::vector<std::string> candidates;
  if (const char* chosen = std::getenv("TAVRA_TEST_TMPDIR")) candidates.emplace_back(chosen);
  candidates.push_back(std::filesystem::current_path().string());
  candidates.emplace_back("/dev/shm");
  if (const char* home = std::getenv("HOME")) candidates.emplace_back(home);
  for (const std::string& candidate : candidates) {
    std::error_code error;
    const auto real = std::filesystem::canonical(candidate, error);
    if (error || real.string() != candidate) continue;
    if (PathPolicy::canonical(candidate) != candidate) continue;
    if (access(candidate.c_str(), W_OK | X_OK) != 0) continue;
    return candidate;
  }
  throw std::runtime_error("no scratch directory outside /tmp, /var and /etc is writable");
}

}  // namespace

TempTree::TempTree() {
  static const std::string base = scratchBase();
  std::string pattern = base + "/tavra-test.XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) throw std::runtime_error("cannot make a temporary directory");
  root_ = buffer.data();
}

TempTree::~TempTree() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

std::string TempTree::path(std::string_view relative) const {
  return root_ + "/" + std::string(relative);
}

std::string TempTree::write(std::string_view relative, std::string_view bytes, mode_t mode) const {
  std::string file = path(relative);
  std::filesystem::create_directories(std::filesystem::path(file).parent_path());
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + file);
  }
  if (chmod(file.c_str(), mode) != 0) throw std::runtime_error("cannot chmod " + file);
  return file;
}

std::string TempTree::mkdir(std::string_view relative) const {
  std::string directory = path(relative);
  std::filesystem::create_directories(directory);
  return directory;
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
