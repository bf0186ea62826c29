// --experimental-dump-help, read back by python3 (an independent JSON reader) and compared with
// the declared tree.
#include <gtest/gtest.h>

#include <sstream>

#include "expected_tree.h"
#include "support/python.h"
#include "tool_process.h"

namespace tavra::test {
namespace {

// One line per command and per argument, in tree order, from the dump as python3 reads it.
const char* flatten = R"PY(
import json, sys
doc = json.load(sys.stdin)
assert doc['serializationVersion'] == 0, doc.get('serializationVersion')
def walk(command, path):
    path = path + [command['commandName']]
    name = ' '.join(path)
    if name == 'tavractl help':
        return
    print('command|%s|%s|%s' % (name, command.get('abstract', ''), command.get('discussion', '').replace('\n', '\\n')))
    for arg in command.get('arguments', []):
        if arg['kind'] == 'positional':
            label = arg['valueName']
            assert 'names' not in arg
        else:
            assert arg['preferredName'] == arg['names'][-1], arg
            label = ','.join(('-' if n['kind'] == 'short' else '--') + n['name'] for n in arg['names'])
        assert arg['shouldDisplay'] is True
        print('argument|%s|%s|%s|%s|%s|%s' % (name, arg['kind'], label, arg['isOptional'], arg['isRepeating'], arg.get('abstract', '')))
    for sub in command.get('subcommands', []):
        walk(sub, path)
walk(doc['command'], [])
)PY";

std::string expectedFlattening() {
  std::ostringstream out;
  const auto bit = [](bool b) { return b ? "True" : "False"; };
  for (const auto& command : expectedCommands()) {
    std::string discussion = command.path == "tavractl simulate" ? simulateDiscussion : "";
    for (std::size_t at; (at = discussion.find('\n')) != std::string::npos;) {
      discussion.replace(at, 1, "\\n");
    }
    out << "command|" << command.path << "|" << command.abstract << "|" << discussion << "\n";
    for (const auto& member : command.members) {
      out << "argument|" << command.path << "|" << member.kind << "|"
          << (member.kind == "positional" ? member.name : "--" + member.name) << "|"
          << bit(member.optional) << "|" << bit(member.repeating) << "|" << member.help << "\n";
    }
    if (command.path == "tavractl") {
      out << "argument|tavractl|flag|--version|True|False|Show the version.\n";
    }
    out << "argument|" << command.path << "|flag|-h,--help|True|False|Show help information.\n";
  }
  return out.str();
}

TEST(DumpHelpTest, PythonReadsTheWholeTreeBack) {
  if (!pythonHas({"json"})) GTEST_SKIP() << "python3 is not available";
  ProcessResult dump = runTavractl({"--experimental-dump-help"});
  ASSERT_EQ(dump.status, 0) << dump.errors;
  PythonResult read = runPython(flatten, {}, dump.output);
  ASSERT_EQ(read.status, 0) << read.output;
  EXPECT_EQ(read.output, expectedFlattening());
}

TEST(DumpHelpTest, OptionsCarryTheirValueNameAndTheHelpCommandIsHidden) {
  if (!pythonHas({"json"})) GTEST_SKIP() << "python3 is not available";
  ProcessResult dump = runTavractl({"--experimental-dump-help"});
  PythonResult read = runPython(R"PY(
import json, sys
root = json.load(sys.stdin)['command']
subs = {c['commandName']: c for c in root['subcommands']}
status = {a['preferredName']['name']: a for a in subs['status']['arguments']}
print(status['file']['valueName'], status['file']['kind'], 'valueName' in status['json'])
print(subs['help']['shouldDisplay'], subs['status']['shouldDisplay'], 'superCommands' in root)
print(subs['catalog']['subcommands'][0]['superCommands'])
)PY",
                                {}, dump.output);
  EXPECT_EQ(read.output, "file option False\nFalse True False\n['tavractl', 'catalog']\n");
}

}  // namespace
}  // namespace tavra::test
