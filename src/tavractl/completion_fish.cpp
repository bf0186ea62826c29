// The fish completion script: a helper finds the command reached by the words before the cursor
// (skipping option values); every completion is conditional on that command.
#include "completion.h"

namespace tavra::ctl {
namespace {

// A single-quoted fish word.
std::string fishWord(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out + "'";
}

std::string spaced(const std::vector<std::string>& words) {
  std::string text;
  for (const auto& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

// The case of the helper's walk for each command that has options with values (whose value is
// skipped) or subcommands (which the walk descends into).
std::string walkCases(const std::vector<CompletionCommand>& commands) {
  std::string walk;
  for (const auto& command : commands) {
    std::vector<std::string> valueOptions;
    for (const auto& option : command.options) {
      if (!option.takesValue) continue;
      for (const auto& name : option.names) valueOptions.push_back(name);
    }
    std::vector<std::string> names;
    for (const auto& [name, abstract] : command.subcommands) names.push_back(name);
    if (valueOptions.empty() && names.empty()) continue;
    walk += "            case " + fishWord(command.path) + "\n                switch $word\n";
    if (!valueOptions.empty()) {
      walk += "                    case " + spaced(valueOptions) +
              "\n                        set skip 1\n";
    }
    if (!names.empty()) {
      walk += "                    case " + spaced(names) +
              "\n                        set command \"$command $word\"\n";
    }
    walk += "                end\n";
  }
  return walk;
}

// The helper that names the command the words reach, and the test built on it.
std::string helperFunctions(const std::string& tool, const std::string& helper,
                            const std::string& at, const std::string& walk) {
  return "function " + helper +
         "\n"
         "    set -l words (commandline -opc)\n"
         "    set -l command " +
         tool +
         "\n"
         "    set -l skip 0\n"
         "    for word in $words[2..-1]\n"
         "        if test $skip = 1\n"
         "            set skip 0\n"
         "            continue\n"
         "        end\n"
         "        switch $command\n" +
         walk +
         "        end\n"
         "    end\n"
         "    echo $command\n"
         "end\n\n"
         "function " +
         at + "\n    test (" + helper + ") = \"$argv[1]\"\nend\n\n";
}

// The completions of one option, offered where `condition` holds.
std::string optionLine(const std::string& tool, const std::string& condition,
                       const CompletionCommand::Option& option) {
  std::string line = "complete -c " + tool + condition;
  for (const auto& name : option.names) {
    line += (name.rfind("--", 0) == 0 ? " -l " + name.substr(2) : " -s " + name.substr(1));
  }
  if (option.takesValue) {
    line += " -r";
    if (option.completion == Completion::file) line += " -F";
    if (option.completion == Completion::directory) line += " -a '(__fish_complete_directories)'";
  }
  return line + " -d " + fishWord(option.help) + "\n";
}

// Everything one command offers: its subcommands, positional words and files, and options.
std::string commandLines(const std::string& tool, const std::string& at,
                         const CompletionCommand& command) {
  const std::string condition = " -n " + fishWord(at + " " + fishWord(command.path));
  std::string text;
  for (const auto& [name, abstract] : command.subcommands) {
    text += "complete -c " + tool + condition + " -a " + fishWord(name) + " -d " +
            fishWord(abstract) + "\n";
  }
  for (const auto& word : command.positionalWords) {
    text += "complete -c " + tool + condition + " -a " + fishWord(word) + "\n";
  }
  if (command.hasPositionals && command.positionalCompletion == Completion::file) {
    text += "complete -c " + tool + condition + " -F\n";
  } else if (command.hasPositionals && command.positionalCompletion == Completion::directory) {
    text += "complete -c " + tool + condition + " -a '(__fish_complete_directories)'\n";
  }
  for (const auto& option : command.options) text += optionLine(tool, condition, option);
  return text;
}

}  // namespace

std::string fishCompletionScript(const std::vector<CompletionCommand>& commands) {
  const std::string& tool = commands.front().path;
  const std::string helper = "__" + commands.front().identifier + "_command";
  const std::string at = "__" + commands.front().identifier + "_at";
  std::string text = "# fish completion for " + tool + "\n# Load it with: " + tool +
                     " --generate-completion-script fish | source\n" +
                     helperFunctions(tool, helper, at, walkCases(commands)) + "complete -c " +
                     tool + " -f\n";
  for (const auto& command : commands) text += commandLines(tool, at, command);
  return text;
}

}  // namespace tavra::ctl
