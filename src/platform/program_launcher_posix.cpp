#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <new>

#include "tavra/platform/program_launcher.h"

extern char** environ;

namespace tavra::platform {

std::optional<int> SystemProgramLauncher::run(
    const std::string& path, const std::vector<std::string>& arguments) const noexcept {
  try {
    // posix_spawn takes writable C strings: copies, with the program's name first.
    std::vector<std::string> words;
    words.reserve(arguments.size() + 1);
    words.push_back(path);
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    pid_t child = 0;
    if (posix_spawn(&child, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
      return std::nullopt;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
      if (errno != EINTR) return std::nullopt;
    }
    return status;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace tavra::platform
