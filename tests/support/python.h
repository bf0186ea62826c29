// Runs python3 (from PATH) as an independent checker of the files the system produces.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavra/value.h"

namespace tavra::test {

struct PythonResult {
  int status = -1;     // exit status; -1 when the process did not exit normally
  std::string output;  // standard output and standard error together
};

// Whether python3 is on PATH and can import every module named (e.g. {"plistlib"}).
bool pythonHas(const std::vector<std::string>& modules);

// Runs `script` with `args` as its sys.argv[1:] and `input` on its standard input, bounded to
// 60 seconds.
PythonResult runPython(std::string_view script, const std::vector<std::string>& args = {},
                       std::string_view input = {});

// The values of a checker's output that prints one JSON document per line.
std::vector<Value> jsonLines(std::string_view output);

// A file for python3 to read with the parser of its format.
struct FormattedFile {
  std::string format;  // "json", "toml" or "plist" (XML)
  std::string path;
};

// Each file read by python3's own parser of its format (json, tomllib, plistlib), in order;
// records a test failure when the checker fails. Needs those three modules (see pythonHas).
std::vector<Value> readWithPythonParsers(const std::vector<FormattedFile>& files);

}  // namespace tavra::test
