// ReadOnlyFile: the library's one way of reading a whole file it does not own (preference files,
// fragment files), and the one place that turns the errno of those reads into an error.
//
// Move-only owner of the open descriptor. The file is opened without blocking, so that a FIFO in
// place of a file cannot hang the reader; callers look at status() and read only what they accept.
// Failures throw std::system_error carrying errno in the generic category.
#pragma once

#include <sys/stat.h>

#include <string>

namespace tavra {

class ReadOnlyFile {
 public:
  // Opens `path` for reading; with `noFollow` a symbolic link as the last component fails with
  // ELOOP.
  static ReadOnlyFile open(const std::string& path, bool noFollow = false);

  ReadOnlyFile(ReadOnlyFile&& other) noexcept;
  ReadOnlyFile& operator=(ReadOnlyFile&& other) noexcept;
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
  ~ReadOnlyFile();

  // The status of the opened file itself (taken when it was opened).
  const struct stat& status() const noexcept { return status_; }
  bool isRegular() const noexcept { return S_ISREG(status_.st_mode); }

  // Everything from the current position to the end.
  std::string readAll() const;

 private:
  explicit ReadOnlyFile(int fd) noexcept : fd_(fd) {}
  void close() noexcept;

  int fd_ = -1;
  struct stat status_ {};
};

}  // namespace tavra
