#include "read_only_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace tavra {
namespace {

[[noreturn]] void throwErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

ReadOnlyFile ReadOnlyFile::open(const std::string& path, bool noFollow) {
  const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (noFollow ? O_NOFOLLOW : 0);
  const int fd = ::open(path.c_str(), flags);
  if (fd < 0) throwErrno("open");
  ReadOnlyFile file(fd);
  if (::fstat(fd, &file.status_) != 0) throwErrno("fstat");
  return file;
}

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), status_(other.status_) {}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    status_ = other.status_;
  }
  return *this;
}

ReadOnlyFile::~ReadOnlyFile() {
  close();
}

void ReadOnlyFile::close() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::string ReadOnlyFile::readAll() const {
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t count = ::read(fd_, buffer, sizeof buffer);
    if (count == 0) return bytes;
    if (count < 0) {
      if (errno == EINTR) continue;
      throwErrno("read");
    }
    bytes.append(buffer, static_cast<std::size_t>(count));
  }
}

}  // namespace tavra
