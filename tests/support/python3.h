// Runs a python3 script for interoperability tests (independent parsers such as tomllib and
// plistlib live there).
#pragma once

#include <optional>
#include <string>

namespace tavra::test {

struct PythonRun {
  int exitStatus = 0;
  std::string output;  // what the script wrote to standard output
};

// Runs `python3 -c script inputPath`, where inputPath names a temporary file holding `input`
// (removed afterwards). Gives no value when python3 cannot be started (not installed); throws
// std::runtime_error for other failures of the machinery itself.
std::optional<PythonRun> runPython3(const std::string& script, const std::string& input);

}  // namespace tavra::test
