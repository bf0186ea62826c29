// Shell completion scripts (bash, zsh, fish), generated from the command tree: each completes the
// subcommands, the options of the command reached so far, and file or folder names where a
// member takes a path.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tree.h"

namespace tavra::ctl {

// One command as the scripts see it.
struct CompletionCommand {
  struct Option {
    std::vector<std::string> names;  // "-h", "--help"
    std::string help;
    bool takesValue = false;
    Completion completion = Completion::none;
  };

  std::string path;        // "tavractl catalog sign"
  std::string identifier;  // "tavractl_catalog_sign", for function names
  std::vector<std::pair<std::string, std::string>> subcommands;  // name, abstract
  std::vector<Option> options;
  // What a positional word is: no positionals, or the kind of the first one.
  bool hasPositionals = false;
  bool repeatingPositionals = false;
  bool optionalPositionals = false;
  std::string positionalName;
  Completion positionalCompletion = Completion::none;
  // Fixed words offered for the positionals (the help subcommand offers the commands).
  std::vector<std::string> positionalWords;
};

// Every command of the tree, parents before their subcommands.
std::vector<CompletionCommand> completionCommands(const CommandTree& tree);

std::string bashCompletionScript(const std::vector<CompletionCommand>& commands);
std::string zshCompletionScript(const std::vector<CompletionCommand>& commands);
std::string fishCompletionScript(const std::vector<CompletionCommand>& commands);

// The script for "bash", "zsh" or "fish"; no value for any other shell.
std::optional<std::string> completionScript(const CommandTree& tree, const std::string& shell);

}  // namespace tavra::ctl
