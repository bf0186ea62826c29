// ForkedChild: runs a piece of the test program in a child process, for tests that must change
// identity (setuid), namespaces or be killed at random moments. The child talks back through a
// pipe; every wait is bounded, and a child still running when the object goes is killed and
// reaped.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace tavra::test {

class ForkedChild {
 public:
  // `body` runs in the child with the write end of the report pipe; its result is the child's
  // exit status. An exception escaping it ends the child with status 125 (its text reported).
  explicit ForkedChild(const std::function<int(int reportFd)>& body);
  ~ForkedChild();
  ForkedChild(const ForkedChild&) = delete;
  ForkedChild& operator=(const ForkedChild&) = delete;

  pid_t pid() const noexcept { return pid_; }

  // Up to `count` bytes of the report (fewer at its end); nothing when `timeout` passes first.
  std::optional<std::string> read(std::size_t count, std::chrono::milliseconds timeout);
  // The whole rest of the report, until the child closes it; nothing after `timeout`.
  std::optional<std::string> readToEnd(std::chrono::milliseconds timeout);

  void kill(int signal) noexcept;
  // The raw wait status, after at most `timeout` (then the child is killed).
  int wait(std::chrono::milliseconds timeout = std::chrono::seconds(120));

 private:
  pid_t pid_ = -1;
  int report_ = -1;
};

// Writes all of `text` to `fd` (for use in a child's body).
void writeReport(int fd, const std::string& text);

// The unprivileged user that tests make act against root.
inline constexpr uid_t nobody = 65534;

// Runs `body` in a child that works in `folder` (its current directory) as uid and gid nobody
// with no other groups and the file-creation mask 0, so that no folder above `folder` need be
// searchable by that user and what it creates has exactly the modes it asks for. Gives nothing
// when the body returns 0, otherwise what failed (the child's report). Needs root.
std::optional<std::string> runAsNobodyIn(const std::string& folder,
                                         const std::function<int()>& body);

}  // namespace tavra::test
