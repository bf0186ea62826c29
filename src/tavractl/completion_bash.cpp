// The bash completion script: one function that walks the words before the cursor to find the
// command reached (skipping option values), then offers that command's options, subcommands,
// fixed words or file names.
#include "completion.h"

#include "tavra/joined.h"

namespace tavra::ctl {
namespace {

std::string words(const CompletionCommand& command) {
  std::string text;
  for (const auto& option : command.options) {
    for (const auto& name : option.names) text += (text.empty() ? "" : " ") + name;
  }
  return text;
}

// `adder` appends each line of its input to COMPREPLY.
std::string compgenFor(Completion completion, const std::string& adder) {
  switch (completion) {
    case Completion::file:
      return "compopt -o filenames 2>/dev/null; " + adder + " < <(compgen -f -- \"$cur\")";
    case Completion::directory:
      return "compopt -o filenames 2>/dev/null; " + adder + " < <(compgen -d -- \"$cur\")";
    case Completion::none:
      break;
  }
  return ":";
}

// The case of one command in the script's last step: its options after "-", else its
// subcommands (`names`), fixed words and positional completion.
std::string offerFor(const CompletionCommand& command, const std::vector<std::string>& names,
                     const std::string& adder) {
  std::string offer = "            \"" + command.path + "\")\n";
  offer +=
      "                if [[ $cur == -* ]]; then\n"
      "                    " +
      adder + " < <(compgen -W \"" + words(command) + "\" -- \"$cur\")\n                else\n";
  std::vector<std::string> fixed = names;
  fixed.insert(fixed.end(), command.positionalWords.begin(), command.positionalWords.end());
  std::string fixedText;
  for (const auto& word : fixed) fixedText += (fixedText.empty() ? "" : " ") + word;
  offer += "                    " + adder + " < <(compgen -W \"" + fixedText + "\" -- \"$cur\")\n";
  if (command.hasPositionals) {
    offer += "                    " + compgenFor(command.positionalCompletion, adder) + "\n";
  }
  offer += "                fi ;;\n";
  return offer;
}

}  // namespace

std::string bashCompletionScript(const std::vector<CompletionCommand>& commands) {
  const std::string& tool = commands.front().path;
  const std::string function = "_" + commands.front().identifier;
  const std::string adder = function + "_add";
  std::string walk;
  std::string values;
  std::string offers;
  for (const auto& command : commands) {
    std::string cases;
    std::vector<std::string> valueOptions;
    for (const auto& option : command.options) {
      if (!option.takesValue) continue;
      for (const auto& name : option.names) valueOptions.push_back(name);
      values += "            \"" + command.path + " " + option.names.back() + "\") " +
                compgenFor(option.completion, adder) + " ;;\n";
    }
    if (!valueOptions.empty())
      cases += "                    " + joined(valueOptions, "|") + ") skip=1 ;;\n";
    std::vector<std::string> names;
    for (const auto& [name, abstract] : command.subcommands) names.push_back(name);
    if (!names.empty()) {
      cases += "                    " + joined(names, "|") + ") command=\"$command $word\" ;;\n";
    }
    if (!cases.empty()) {
      walk += "            \"" + command.path + "\")\n                case \"$word\" in\n" + cases +
              "                esac ;;\n";
    }

    offers += offerFor(command, names, adder);
  }

  return "# bash completion for " + tool +
         "\n"
         "# Load it with: source <(" +
         tool +
         " --generate-completion-script bash)\n"
         "# It works in bash 3.2 (the /bin/bash of macOS) and later.\n" +
         adder +
         "() {\n"
         "    local line\n"
         "    while IFS= read -r line; do COMPREPLY+=(\"$line\"); done\n"
         "}\n" +
         function +
         "() {\n"
         "    local cur=\"${COMP_WORDS[COMP_CWORD]}\" prev=\"\" command=\"" +
         tool +
         "\" word i skip=0\n"
         "    COMPREPLY=()\n"
         "    (( COMP_CWORD > 0 )) && prev=\"${COMP_WORDS[COMP_CWORD-1]}\"\n"
         "    for (( i = 1; i < COMP_CWORD; i++ )); do\n"
         "        word=\"${COMP_WORDS[i]}\"\n"
         "        if (( skip )); then skip=0; continue; fi\n"
         "        case \"$command\" in\n" +
         walk +
         "        esac\n"
         "    done\n"
         "    if (( skip )); then\n"
         "        case \"$command $prev\" in\n" +
         values +
         "        esac\n"
         "        return 0\n"
         "    fi\n"
         "    case \"$command\" in\n" +
         offers +
         "    esac\n"
         "    return 0\n"
         "}\n"
         "complete -F " +
         function + " " + tool + "\n";
}

}  // namespace tavra::ctl
