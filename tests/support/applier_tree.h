// ApplierTree: a scratch tree for file-applier tests: a support directory, one allowed folder
// and a fixed, settable clock, so every path and time the applier records is known.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>

#include "support/services.h"
#include "support/temp_tree.h"
#include "tavra/file_applier.h"

namespace tavra::test {

struct ApplierTree {
  TempTree tree;
  std::string support = tree.path("support");
  std::string allowed = tree.path("allowed");
  Date now = std::chrono::sys_days{std::chrono::year{2026} / 3 / 1} + std::chrono::hours{9};

  ApplierTree() { tree.mkdir("allowed"); }

  // Root ownership follows the identity the tests run with: on as root (as in CI), off otherwise.
  FileApplier applier(bool rootOwnership = geteuid() == 0) const {
    return FileApplier(support, PathPolicy({}, {allowed + "/"}), rootOwnership, files(),
                       clock([this] { return now; }));
  }
  std::string target(std::string_view relative) const {
    return allowed + "/" + std::string(relative);
  }
  std::string appliedCopy(const std::string& path) const {
    return support + "/applied/" + FileApplier::sha256(path);
  }
  std::string backup(const std::string& path) const {
    return support + "/backups/" + FileApplier::sha256(path) + ".bak";
  }
};

inline mode_t modeOf(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : mode_t(-1);
}

inline uid_t ownerOf(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 ? info.st_uid : uid_t(-1);
}

}  // namespace tavra::test

namespace tavra::test {

// Replaces the content of an existing file in place, keeping its mode and owner.
inline void overwrite(const std::string& path, std::string_view bytes) {
  FILE* file = std::fopen(path.c_str(), "r+b");
  if (file == nullptr) throw std::runtime_error("cannot open " + path);
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() &&
                  ftruncate(fileno(file), off_t(bytes.size())) == 0;
  std::fclose(file);
  if (!ok) throw std::runtime_error("cannot overwrite " + path);
}

}  // namespace tavra::test

namespace tavra::test {

// Creates or truncates the file at an absolute path and gives it `mode`.
inline void writeAt(const std::string& path, std::string_view bytes, mode_t mode = 0644) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) throw std::runtime_error("cannot create " + path);
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  std::fclose(file);
  if (!ok || chmod(path.c_str(), mode) != 0) throw std::runtime_error("cannot write " + path);
}

}  // namespace tavra::test
