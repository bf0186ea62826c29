#include "support/python.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/child_process.h"

namespace tavra::test {

bool pythonHas(const std::vector<std::string>& modules) {
  std::string script = "import sys\n";
  for (const std::string& module : modules) script += "import " + module + "\n";
  return runPython(script).status == 0;
}

PythonResult runPython(std::string_view script, const std::vector<std::string>& args,
                       std::string_view input) {
  std::vector<std::string> argv = {"python3", "-c", std::string(script)};
  argv.insert(argv.end(), args.begin(), args.end());
  const ProcessResult run = runProcess(argv, input, std::chrono::seconds(60));
  return PythonResult{run.status, run.output + run.errors};
}

std::vector<Value> jsonLines(std::string_view output) {
  std::vector<Value> values;
  std::size_t start = 0;
  while (start < output.size()) {
    const std::size_t end = std::min(output.find('\n', start), output.size());
    values.push_back(Value::parseJSON(output.substr(start, end - start)));
    start = end + 1;
  }
  return values;
}

std::vector<Value> readWithPythonParsers(const std::vector<FormattedFile>& files) {
  std::vector<std::string> args;
  for (const FormattedFile& file : files) args.insert(args.end(), {file.format, file.path});
  const PythonResult run = runPython(R"(
import json, plistlib, sys, tomllib
args = sys.argv[1:]
for format, path in zip(args[0::2], args[1::2]):
    with open(path, 'rb') as f:
        if format == 'json':
            value = json.load(f)
        elif format == 'toml':
            value = tomllib.load(f)
        else:
            value = plistlib.load(f, fmt=plistlib.FMT_XML)
    print(json.dumps(value))
)",
                                     args);
  EXPECT_EQ(run.status, 0) << run.output;
  return jsonLines(run.output);
}

}  // namespace tavra::test
