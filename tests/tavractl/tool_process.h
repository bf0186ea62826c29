// Runs the built tavractl as a user would: a child process with its own environment, standard
// output and standard error kept apart.
#pragma once

#include <string>
#include <vector>

#include "support/child_process.h"

namespace tavra::test {

inline const std::string tavractlPath = TAVRACTL_PATH;

// Runs tavractl with `words` under a fixed locale and time zone (plus `environment`, each
// "NAME=value"), with `input` on its standard input.
inline ProcessResult runTavractl(const std::vector<std::string>& words,
                                 const std::vector<std::string>& environment = {},
                                 const std::string& input = {}) {
  std::vector<std::string> argv = {"env", "LC_ALL=en_US.UTF-8", "TZ=UTC"};
  argv.insert(argv.end(), environment.begin(), environment.end());
  argv.push_back(tavractlPath);
  argv.insert(argv.end(), words.begin(), words.end());
  return runProcess(argv, input);
}

// The same, run in the folder `directory`.
inline ProcessResult runTavractlIn(const std::string& directory,
                                   const std::vector<std::string>& words) {
  std::vector<std::string> argv = {"env",    "-C",        directory, "LC_ALL=en_US.UTF-8",
                                   "TZ=UTC", tavractlPath};
  argv.insert(argv.end(), words.begin(), words.end());
  return runProcess(argv);
}

}  // namespace tavra::test
