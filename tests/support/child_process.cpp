#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

extern char** environ;

namespace tavra::test {

namespace {

using Clock = std::chrono::steady_clock;

pid_t spawn(const std::vector<std::string>& argv, int in, int out, int err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in >= 0) posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
  if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
  if (err >= 0) posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return spawned == 0 ? pid : -1;
}

int waitFor(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void closeOnExec(int fd) {
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, std::string_view input,
                         std::chrono::milliseconds timeout) {
  // A child that exits before reading all its input must not kill the test with SIGPIPE.
  static const bool ignoringSIGPIPE = (::signal(SIGPIPE, SIG_IGN), true);
  (void)ignoringSIGPIPE;
  ProcessResult result;
  int in[2], out[2], err[2];
  if (::pipe(in) != 0) return result;
  if (::pipe(out) != 0 || ::pipe(err) != 0) return result;
  for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) closeOnExec(fd);
  const pid_t pid = spawn(argv, in[0], out[1], err[1]);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (pid < 0) {
    for (int fd : {in[1], out[0], err[0]}) ::close(fd);
    return result;
  }
  ::fcntl(in[1], F_SETFL, O_NONBLOCK);
  std::size_t written = 0;
  if (input.empty()) {
    ::close(in[1]);
    in[1] = -1;
  }
  const auto deadline = Clock::now() + timeout;
  bool killed = false;
  int open = 2;
  while (open > 0 || in[1] >= 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
    if (::poll(fds, 3, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[8192];
      const ssize_t count = ::read(fds[i].fd, buffer, sizeof buffer);
      if (count > 0) {
        (i == 0 ? result.output : result.errors).append(buffer, static_cast<std::size_t>(count));
      } else if (count == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        (i == 0 ? out[0] : err[0]) = -1;
        --open;
      }
    }
    if (in[1] >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t count = ::write(in[1], input.data() + written, input.size() - written);
      if (count > 0) written += static_cast<std::size_t>(count);
      if (count < 0 && errno != EAGAIN && errno != EINTR) written = input.size();
      if (written == input.size()) {
        ::close(in[1]);
        in[1] = -1;
      }
    }
  }
  for (int fd : {in[1], out[0], err[0]}) {
    if (fd >= 0) ::close(fd);
  }
  const int status = waitFor(pid);
  result.status = killed ? -1 : status;
  return result;
}

bool hasProgram(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (!path) return false;
  std::string_view rest = path;
  while (true) {
    const std::size_t colon = rest.find(':');
    const std::string directory(rest.substr(0, colon));
    if (!directory.empty() && ::access((directory + "/" + program).c_str(), X_OK) == 0) {
      return true;
    }
    if (colon == std::string_view::npos) return false;
    rest = rest.substr(colon + 1);
  }
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv) {
  int out[2];
  if (::pipe(out) != 0) return;
  closeOnExec(out[0]);
  closeOnExec(out[1]);
  pid_ = spawn(argv, -1, out[1], -1);
  ::close(out[1]);
  if (pid_ < 0) {
    ::close(out[0]);
    return;
  }
  output_ = out[0];
}

BackgroundProcess::~BackgroundProcess() {
  stop();
}

std::optional<std::string> BackgroundProcess::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (output_ >= 0) {
    if (const std::size_t end = pending_.find('\n'); end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return line;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd fd{output_, POLLIN, 0};
    const int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    char buffer[4096];
    const ssize_t count = ::read(output_, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return std::nullopt;
    pending_.append(buffer, static_cast<std::size_t>(count));
  }
  return std::nullopt;
}

void BackgroundProcess::stop() noexcept {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    waitFor(pid_);
    pid_ = -1;
  }
  if (output_ >= 0) {
    ::close(output_);
    output_ = -1;
  }
}

}  // namespace tavra::test
