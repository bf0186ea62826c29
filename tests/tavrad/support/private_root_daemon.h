// The real tavrad binary, run as root (or dropped to uid 65534) in a private mount namespace so
// that it uses its production paths and touches nothing on the machine.
//
// The daemon's root is a tmpfs of its own: the host's system folders (bin, sbin, lib*, usr, etc,
// proc) are bound into it read-through, /dev holds only the usual character devices, /Library is
// empty and the binary is bound in as /tavrad-test/tavrad-under-test (a name no `tavractl apply`
// elsewhere on the machine signals), with the build's HTTP module beside it as
// /tavrad-test/tavra-http.so unless told otherwise. The test reaches that root through
// /proc/<pid>/root (path()) and reads the daemon's log lines from a socket at /dev/log in it,
// where syslog(3) sends them. Nothing mounted there is seen outside the child; the namespace goes
// with the process.
//
// Every wait is bounded; a daemon still running at the end is killed.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/forked_child.h"
#include "support/temp_tree.h"
#include "tavra/platform/logger.h"

namespace tavra::test {

class PrivateRootDaemon {
 public:
  struct Line {
    Logger::Level level = Logger::Level::default_;
    std::string category;  // "daemon" or "reconcile"
    std::string text;
  };

  // Prepares the private root; the daemon starts with start(). With `asNobody` it runs as uid
  // and gid 65534; without `withHttpModule` the HTTP module is not beside it.
  explicit PrivateRootDaemon(bool asNobody = false, bool withHttpModule = true);
  ~PrivateRootDaemon();
  PrivateRootDaemon(const PrivateRootDaemon&) = delete;
  PrivateRootDaemon& operator=(const PrivateRootDaemon&) = delete;

  // Why the private root could not be made (no mount namespaces here, not root), if it could not.
  const std::optional<std::string>& unavailable() const noexcept { return unavailable_; }

  // Where `inside` (an absolute path as the daemon sees it) is, seen from the test.
  std::string path(std::string_view inside) const;
  // Writes a root-owned file inside the root (parent folders made with mode 0755).
  void write(std::string_view inside, std::string_view bytes, mode_t mode = 0644) const;
  std::string read(std::string_view inside) const;

  void start();
  void signal(int signal);
  pid_t pid() const;

  // The next line after the last one matched (or skipped by a match) that `match` accepts; none
  // when `timeout` passes first.
  std::optional<Line> waitFor(const std::function<bool(const Line&)>& match,
                              std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // The same for an exact category and text.
  std::optional<Line> waitFor(std::string_view category, std::string_view text,
                              std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // Every line received so far.
  std::vector<Line> lines() const;
  // Waits until the daemon's loop thread waits in the kernel for its next event, so that the
  // run whose summary was seen last has also replaced its watches. False after `timeout`.
  bool waitUntilIdle(std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;

  // The raw wait status once the daemon has ended; killed after `timeout`.
  int waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(60));

 private:
  void receive();

  TempTree tree_;
  std::optional<std::string> unavailable_;
  std::unique_ptr<ForkedChild> child_;
  int go_ = -1;
  int log_ = -1;
  int stopReader_[2] = {-1, -1};
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Line> lines_;
  std::size_t cursor_ = 0;
};

}  // namespace tavra::test
