// The zsh completion script: one function per command built on _arguments; a command with
// subcommands offers them with _describe and hands the rest of the line to the chosen one.
#include "completion.h"

namespace tavra::ctl {
namespace {

// Text inside a single-quoted zsh word.
std::string zshWord(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

// A description inside an _arguments "[...]" explanation.
std::string explanation(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '[' || c == ']' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

// Text on the left of ":" in a _describe entry or an action message.
std::string colonEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == ':' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::string action(Completion completion) {
  switch (completion) {
    case Completion::file:
      return "_files";
    case Completion::directory:
      return "_files -/";
    case Completion::none:
      break;
  }
  return " ";
}

std::string optionSpecs(const CompletionCommand& command) {
  std::string specs;
  for (const auto& option : command.options) {
    std::string tail = "[" + explanation(option.help) + "]";
    if (option.takesValue) {
      std::string value = option.names.back().substr(2);
      tail += ":" + colonEscaped(value) + ":" + action(option.completion);
    }
    std::string optionSpec;
    if (option.names.size() == 1) {
      optionSpec = zshWord(option.names.front() + tail);
    } else {
      std::string exclusion = "(";
      std::string names = "{";
      for (std::size_t i = 0; i < option.names.size(); ++i) {
        exclusion += (i == 0 ? "" : " ") + option.names[i];
        names += (i == 0 ? "" : ",") + option.names[i];
      }
      optionSpec = zshWord(exclusion + ")") + names + "}" + zshWord(tail);
    }
    specs += "        " + optionSpec + "\n";
  }
  return specs;
}

std::string positionalSpec(const CompletionCommand& command) {
  if (!command.hasPositionals) return "";
  std::string what;
  if (!command.positionalWords.empty()) {
    what = "(";
    for (const auto& word : command.positionalWords) what += (what.size() == 1 ? "" : " ") + word;
    what += ")";
  } else {
    what = action(command.positionalCompletion);
  }
  std::string prefix = command.repeatingPositionals  ? "*:"
                       : command.optionalPositionals ? "::"
                                                     : ":";
  return "        " + zshWord(prefix + colonEscaped(command.positionalName) + ":" + what) + "\n";
}

std::string commandFunction(const CompletionCommand& command,
                            const std::vector<CompletionCommand>& all) {
  std::string text = "_" + command.identifier +
                     "() {\n"
                     "    local context state state_descr line\n"
                     "    local -A opt_args\n"
                     "    integer ret=1\n"
                     "    local -a args\n"
                     "    args=(\n" +
                     optionSpecs(command) + positionalSpec(command);
  if (command.subcommands.empty()) {
    return text +
           "    )\n"
           "    _arguments -s -S $args && ret=0\n"
           "    return ret\n"
           "}\n\n";
  }
  text +=
      "        '(-): :->command'\n"
      "        '(-)*:: :->arg'\n"
      "    )\n"
      "    _arguments -s -S $args && ret=0\n"
      "    case $state in\n"
      "        (command)\n"
      "            local -a subcommands\n"
      "            subcommands=(\n";
  for (const auto& [name, abstract] : command.subcommands) {
    text += "                " + zshWord(colonEscaped(name) + ":" + abstract) + "\n";
  }
  text +=
      "            )\n"
      "            _describe -t subcommands 'subcommand' subcommands && ret=0\n"
      "            ;;\n"
      "        (arg)\n"
      "            case ${words[1]} in\n";
  for (const auto& [name, abstract] : command.subcommands) {
    for (const auto& other : all) {
      if (other.path == command.path + " " + name) {
        text += "                (" + name + ") _" + other.identifier + " && ret=0 ;;\n";
      }
    }
  }
  return text +
         "            esac\n"
         "            ;;\n"
         "    esac\n"
         "    return ret\n"
         "}\n\n";
}

}  // namespace

std::string zshCompletionScript(const std::vector<CompletionCommand>& commands) {
  const std::string& tool = commands.front().path;
  const std::string function = "_" + commands.front().identifier;
  std::string text = "#compdef " + tool +
                     "\n"
                     "# zsh completion for " +
                     tool + ". Put it on $fpath as _" + tool +
                     ", or load it after compinit with:\n"
                     "#   source <(" +
                     tool + " --generate-completion-script zsh)\n\n";
  for (const auto& command : commands) text += commandFunction(command, commands);
  return text + "if [[ $zsh_eval_context[-1] == loadautofunc ]]; then\n    " + function +
         " \"$@\"\nelse\n    compdef " + function + " " + tool + "\nfi\n";
}

}  // namespace tavra::ctl
