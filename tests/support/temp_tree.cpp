#include "support/temp_tree.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace tavra::test {

TempTree::TempTree() {
  std::string pattern = std::filesystem::current_path().string() + "/tavra-test.XXXXXX";
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
