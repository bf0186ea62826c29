#include "support/python.h"

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

}  // namespace tavra::test
