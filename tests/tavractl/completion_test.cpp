// The completion scripts, loaded into the real shells: a scripted completion request must come
// back with the subcommands, the options of the command reached, and file names for paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "expected_tree.h"
#include "support/python.h"
#include "support/temp_tree.h"
#include "tool_process.h"

namespace tavra::test {
namespace {

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) out.push_back(line);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> sorted(std::vector<std::string> words) {
  std::sort(words.begin(), words.end());
  return words;
}

// The candidates each shell offers for one command line (the cursor at its end).
class CompletionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    script = [&](const std::string& shell) {
      ProcessResult generated = runTavractl({"--generate-completion-script", shell});
      EXPECT_EQ(generated.status, 0) << generated.errors;
      return tree.write("completion." + shell, generated.output);
    };
    tree.write("work/fragments/team.json", "{}");
    tree.write("work/catalog.json", "{}");
    tree.mkdir("work/outdir");
  }

  // `setup` runs after the script is loaded, before the completion.
  std::vector<std::string> bash(const std::string& line, const std::string& setup = "") {
    const std::string program =
        "source /usr/share/bash-completion/bash_completion 2>/dev/null\n"
        "source \"$1\"\n" +
        setup +
        "\n"
        "read -ra COMP_WORDS <<< \"$2\"\n"
        "[[ $2 == *' ' ]] && COMP_WORDS+=('')\n"
        "COMP_LINE=\"$2\"; COMP_POINT=${#COMP_LINE}; COMP_CWORD=$(( ${#COMP_WORDS[@]} - 1 ))\n"
        "_tavractl\n"
        "printf '%s\\n' \"${COMPREPLY[@]}\"\n";
    ProcessResult result = runProcess(
        {"bash", "-c", "cd \"$3\" && " + program, "bash", bashScript, line, tree.path("work")});
    EXPECT_EQ(result.status, 0) << result.errors;
    return lines(result.output);
  }

  std::vector<std::string> fish(const std::string& line) {
    ProcessResult result = runProcess({"fish", "--no-config", "-c",
                                       "cd $argv[3]; source $argv[1]; complete -C$argv[2]",
                                       fishScript, line, tree.path("work")});
    EXPECT_EQ(result.status, 0) << result.errors;
    std::vector<std::string> words;
    for (const auto& entry : lines(result.output))
      words.push_back(entry.substr(0, entry.find('\t')));
    return words;
  }

  // zsh completes only inside its line editor: an interactive zsh on a pseudo-terminal is sent
  // the line and a Tab, and every candidate given to compadd is echoed back.
  std::vector<std::string> zsh(const std::string& line) {
    static const char* driver = R"PY(
import os, pty, re, select, sys, time
script, line, work = sys.argv[1], sys.argv[2], sys.argv[3]
pid, fd = pty.fork()
if pid == 0:
    os.chdir(work)
    os.environ['TERM'] = 'dumb'
    os.execvp('zsh', ['zsh', '-f', '-i'])
def read_until(marker, limit):
    out = b''
    end = time.time() + limit
    while time.time() < end and marker not in out:
        ready, _, _ = select.select([fd], [], [], 0.1)
        if ready:
            try:
                data = os.read(fd, 65536)
            except OSError:
                break
            if not data:
                break
            out += data
    return out.decode(errors='replace')
os.write(fd, (r'''PS1='> '
autoload -Uz compinit && compinit -u -D
source %s
compadd() {
  if [[ ${@[(I)-(O|A|D)]} -gt 0 ]]; then builtin compadd "$@"; return; fi
  local -a hits
  builtin compadd -A hits "$@"
  local hit
  for hit in $hits; do print -r -- "<<cand:$hit>>" >/dev/tty; done
  builtin compadd "$@"
}
print -r -- "<<rea""dy>>"
''' % script).encode())
read_until(b'<<ready>>', 20)
os.write(fd, (line + '\t').encode())
out = read_until(b'\x00never', 3)
os.write(fd, b'\x03exit\n')
for hit in sorted(set(re.findall(r'<<cand:([^>]*)>>', out))):
    print(hit)
)PY";
    PythonResult result = runPython(driver, {zshScript, line, tree.path("work")});
    EXPECT_EQ(result.status, 0) << result.output;
    return lines(result.output);
  }

  TempTree tree;
  std::function<std::string(const std::string&)> script;
  std::string bashScript, zshScript, fishScript;
};

std::vector<std::string> rootWords() {
  std::vector<std::string> words = rootSubcommands;
  words.push_back("help");
  return sorted(words);
}

TEST_F(CompletionTest, Bash) {
  if (!hasProgram("bash")) GTEST_SKIP() << "bash is not installed";
  bashScript = script("bash");
  EXPECT_EQ(bash("tavractl "), rootWords());
  EXPECT_EQ(bash("tavractl catalog "), sorted(catalogSubcommands));
  EXPECT_EQ(bash("tavractl dis"), std::vector<std::string>{"discover"});
  EXPECT_EQ(bash("tavractl status --"),
            sorted({"--json", "--check", "--line", "--file", "--help"}));
  EXPECT_EQ(bash("tavractl simulate fragments/"), std::vector<std::string>{"fragments/team.json"});
  EXPECT_EQ(bash("tavractl simulate x --out out"), std::vector<std::string>{"outdir"});
  EXPECT_EQ(bash("tavractl discover --catalog cat"), std::vector<std::string>{"catalog.json"});
  // An option's value is not taken for a command name.
  EXPECT_EQ(bash("tavractl simulate --out catalog --"),
            sorted({"--catalog", "--out", "--key", "--help"}));
}

// macOS's /bin/bash is bash 3.2: without the builtins that came later (mapfile, readarray,
// compopt) the script still completes.
TEST_F(CompletionTest, BashWithoutTheBuiltinsOfLaterVersions) {
  if (!hasProgram("bash")) GTEST_SKIP() << "bash is not installed";
  bashScript = script("bash");
  const std::string older = "enable -n mapfile readarray compopt";
  EXPECT_EQ(bash("tavractl ", older), rootWords());
  EXPECT_EQ(bash("tavractl status --", older),
            sorted({"--json", "--check", "--line", "--file", "--help"}));
  EXPECT_EQ(bash("tavractl simulate fragments/", older),
            std::vector<std::string>{"fragments/team.json"});
  EXPECT_EQ(bash("tavractl discover --catalog cat", older),
            std::vector<std::string>{"catalog.json"});
}

TEST_F(CompletionTest, Fish) {
  if (!hasProgram("fish")) GTEST_SKIP() << "fish is not installed";
  fishScript = script("fish");
  EXPECT_EQ(fish("tavractl "), rootWords());
  EXPECT_EQ(fish("tavractl catalog "), sorted(catalogSubcommands));
  EXPECT_EQ(fish("tavractl status --"),
            sorted({"--json", "--check", "--line", "--file", "--help"}));
  EXPECT_EQ(fish("tavractl simulate fragments/"), std::vector<std::string>{"fragments/team.json"});
  EXPECT_EQ(fish("tavractl discover --catalog cat"), std::vector<std::string>{"catalog.json"});
}

TEST_F(CompletionTest, Zsh) {
  if (!hasProgram("zsh") || !pythonHas({"pty"})) GTEST_SKIP() << "zsh or python3 is missing";
  zshScript = script("zsh");
  EXPECT_EQ(zsh("tavractl "), rootWords());
  EXPECT_EQ(zsh("tavractl catalog "), sorted(catalogSubcommands));
  EXPECT_EQ(zsh("tavractl status --"), sorted({"--json", "--check", "--line", "--file", "--help"}));
  EXPECT_EQ(zsh("tavractl simulate fragments/"), std::vector<std::string>{"team.json"});
}

}  // namespace
}  // namespace tavra::test
