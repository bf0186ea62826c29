// Starting other programs: run one and wait for it to end.
//
// ProgramLauncher is the interface the rest of the system is given; SystemProgramLauncher is this
// machine's (posix_spawn and waitpid), and tests give one that records what it was asked to run.
// Launchers are immutable and run() may be called from any thread; it blocks its caller for as
// long as the program runs.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tavra::platform {

class ProgramLauncher {
 public:
  virtual ~ProgramLauncher() = default;
  // Runs the program at `path` (absolute; no search of PATH) with `arguments` after its own name,
  // inheriting the environment, the working folder and the standard streams, and waits for it
  // to end. Gives its wait status (as waitpid(2) reports it), or no value when it could not be
  // started or waited for. Never throws.
  virtual std::optional<int> run(const std::string& path,
                                 const std::vector<std::string>& arguments) const noexcept = 0;
};

class SystemProgramLauncher final : public ProgramLauncher {
 public:
  std::optional<int> run(const std::string& path,
                         const std::vector<std::string>& arguments) const noexcept override;
};

}  // namespace tavra::platform
