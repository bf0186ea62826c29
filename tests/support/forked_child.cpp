#include "support/forked_child.h"

#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

namespace tavra::test {

ForkedChild::ForkedChild(const std::function<int(int reportFd)>& body) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("cannot make a pipe");
  pid_ = fork();
  if (pid_ < 0) {
    close(fds[0]);
    close(fds[1]);
    throw std::runtime_error("cannot fork");
  }
  if (pid_ == 0) {
    close(fds[0]);
    int status = 125;
    try {
      status = body(fds[1]);
    } catch (const std::exception& error) {
      writeReport(fds[1], std::string("exception: ") + error.what());
    } catch (...) {
      writeReport(fds[1], "unknown exception");
    }
    close(fds[1]);
    _exit(status);
  }
  close(fds[1]);
  report_ = fds[0];
}

ForkedChild::~ForkedChild() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (report_ >= 0) close(report_);
}

std::optional<std::string> ForkedChild::read(std::size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string bytes;
  while (bytes.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd entry{report_, POLLIN, 0};
    const int ready = poll(&entry, 1, int(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    char buffer[4096];
    const ssize_t got = ::read(report_, buffer, std::min(sizeof buffer, count - bytes.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    bytes.append(buffer, std::size_t(got));
  }
  return bytes;
}

std::optional<std::string> ForkedChild::readToEnd(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string bytes;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    auto part = read(4096, left);
    if (!part) return std::nullopt;
    if (part->empty()) return bytes;
    bytes += *part;
  }
}

void ForkedChild::kill(int signal) noexcept {
  if (pid_ > 0) ::kill(pid_, signal);
}

int ForkedChild::wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  int status = 0;
  // A process descriptor becomes readable when the child ends, so the wait needs no polling.
  const int handle = int(syscall(SYS_pidfd_open, pid_, 0));
  if (handle >= 0) {
    pollfd entry{handle, POLLIN, 0};
    int ready;
    do {
      ready = poll(&entry, 1, int(timeout.count()));
    } while (ready < 0 && errno == EINTR);
    close(handle);
    if (ready <= 0) ::kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  } else {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  pid_ = -1;
  return status;
}

void writeReport(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return;
    done += std::size_t(wrote);
  }
}

std::optional<std::string> runAsNobodyIn(const std::string& folder,
                                         const std::function<int()>& body) {
  ForkedChild child([&](int report) {
    if (chdir(folder.c_str()) != 0) {
      writeReport(report, "cannot enter " + folder);
      return 2;
    }
    if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) {
      writeReport(report, "cannot become nobody");
      return 3;
    }
    umask(0);
    const int status = body();
    if (status != 0) writeReport(report, "the body ended with " + std::to_string(status));
    return status;
  });
  const std::optional<std::string> report = child.readToEnd(std::chrono::seconds(60));
  const int status = child.wait();
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return std::nullopt;
  return report.value_or("no report") + " (status " + std::to_string(status) + ")";
}

}  // namespace tavra::test
