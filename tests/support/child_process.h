// Child processes for tests that check the system against independent tools (openssl, node) and
// servers (a loopback HTTPS server). No shell is involved; every wait is bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavra::test {

struct ProcessResult {
  int status = -1;     // exit status; -1 when the program could not run or did not exit normally
  std::string output;  // standard output
  std::string errors;  // standard error
};

// Runs argv[0] (searched on PATH) with `input` on its standard input; killed after `timeout`.
ProcessResult runProcess(const std::vector<std::string>& argv, std::string_view input = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Whether `program` can be found on PATH.
bool hasProgram(const std::string& program);

// A program that runs in the background for the life of the object; it is killed (and waited
// for) when the object goes away.
class BackgroundProcess {
 public:
  explicit BackgroundProcess(const std::vector<std::string>& argv);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  bool running() const noexcept { return pid_ > 0; }
  // The next line of its standard output, without the line feed; no value after `timeout` or at
  // the end of its output.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);
  void stop() noexcept;

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  std::string pending_;
};

}  // namespace tavra::test
