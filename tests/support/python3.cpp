#include "support/python3.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace tavra::test {

namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// A temporary file that is removed when this goes out of scope.
class TempFile {
 public:
  explicit TempFile(const std::string& bytes) {
    const char* dir = std::getenv("TMPDIR");
    path_ = std::string(dir && *dir ? dir : "/tmp") + "/tavra-python-XXXXXX";
    const int fd = ::mkstemp(path_.data());
    if (fd < 0) fail("mkstemp");
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        ::close(fd);
        fail("write " + path_);
      }
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
  }
  ~TempFile() { ::unlink(path_.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::string& path() const noexcept { return path_; }

 private:
  std::string path_;
};

}  // namespace

std::optional<PythonRun> runPython3(const std::string& script, const std::string& input) {
  TempFile file(input);
  int pipeFDs[2];
  if (::pipe2(pipeFDs, O_CLOEXEC) != 0) fail("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFDs[1], STDOUT_FILENO);
  std::string program = "python3";
  std::string flag = "-c";
  std::string code = script;
  std::string path = file.path();
  char* argv[] = {program.data(), flag.data(), code.data(), path.data(), nullptr};
  pid_t pid = 0;
  const int spawned = ::posix_spawnp(&pid, "python3", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFDs[1]);
  if (spawned != 0) {
    ::close(pipeFDs[0]);
    if (spawned == ENOENT) return std::nullopt;
    errno = spawned;
    fail("posix_spawnp python3");
  }
  PythonRun run;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(pipeFDs[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    run.output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipeFDs[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) fail("waitpid");
  }
  // posix_spawnp may report a missing program only through the child's exit status 127.
  if (WIFEXITED(status) && WEXITSTATUS(status) == 127 && run.output.empty()) return std::nullopt;
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

}  // namespace tavra::test
