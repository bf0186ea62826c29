// A ProgramLauncher for tests: starts nothing, records every program it is asked to run and
// answers with a wait status fixed when it is made (or as a program that could not be started).
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tavra/platform/program_launcher.h"

namespace tavra::test {

class RecordingLauncher final : public platform::ProgramLauncher {
 public:
  struct Run {
    std::string path;
    std::vector<std::string> arguments;
    friend bool operator==(const Run&, const Run&) = default;
  };

  explicit RecordingLauncher(std::optional<int> answer = 0) : answer_(answer) {}

  std::optional<int> run(const std::string& path,
                         const std::vector<std::string>& arguments) const noexcept override;

  // What was run, in order.
  std::vector<Run> runs() const;

 private:
  std::optional<int> answer_;
  mutable std::mutex mutex_;
  mutable std::vector<Run> runs_;
};

}  // namespace tavra::test
