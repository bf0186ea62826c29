#include "support/python.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>

extern char** environ;

namespace tavra::test {
namespace {

// Runs argv[0] from PATH and collects what it prints; no shell is involved.
PythonResult run(const std::vector<std::string>& argv) {
  PythonResult result;
  int pipeFDs[2];
  if (::pipe(pipeFDs) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFDs[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipeFDs[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFDs[0]);
  posix_spawn_file_actions_addclose(&actions, pipeFDs[1]);

  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFDs[1]);
  if (spawned != 0) {
    ::close(pipeFDs[0]);
    return result;
  }
  std::array<char, 4096> buffer;
  for (;;) {
    const ssize_t count = ::read(pipeFDs[0], buffer.data(), buffer.size());
    if (count > 0) {
      result.output.append(buffer.data(), static_cast<std::size_t>(count));
    } else if (count == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(pipeFDs[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

}  // namespace

bool pythonHas(const std::vector<std::string>& modules) {
  std::string script = "import sys\n";
  for (const std::string& module : modules) script += "import " + module + "\n";
  return runPython(script).status == 0;
}

PythonResult runPython(std::string_view script, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"timeout", "60", "python3", "-c", std::string(script)};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv);
}

}  // namespace tavra::test
