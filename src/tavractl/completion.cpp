#include "completion.h"

namespace tavra::ctl {
namespace {

void collect(const CommandTree& tree, const CLI::App& command,
             std::vector<CompletionCommand>& commands) {
  CompletionCommand entry;
  entry.path = CommandTree::path(command);
  entry.identifier = entry.path;
  for (char& c : entry.identifier) {
    if (c == ' ' || c == '-') c = '_';
  }
  for (const CLI::App* subcommand : CommandTree::subcommands(command)) {
    entry.subcommands.emplace_back(subcommand->get_name(), subcommand->get_description());
  }
  for (const CLI::Option* member : CommandTree::members(command)) {
    if (!member->nonpositional()) {
      if (entry.hasPositionals) continue;
      entry.hasPositionals = true;
      entry.repeatingPositionals = CommandTree::isRepeating(*member);
      entry.optionalPositionals = CommandTree::isOptional(*member);
      entry.positionalName = member->get_name();
      entry.positionalCompletion = tree.completion(*member);
      continue;
    }
    CompletionCommand::Option option;
    for (const auto& name : member->get_snames()) option.names.push_back("-" + name);
    for (const auto& name : member->get_lnames()) option.names.push_back("--" + name);
    option.help = member->get_description();
    option.takesValue = CommandTree::takesValue(*member);
    option.completion = tree.completion(*member);
    entry.options.push_back(std::move(option));
  }
  // The help subcommand names the other commands of the root.
  if (command.get_parent() == &tree.root() && command.get_group().empty() &&
      command.get_name() == "help") {
    for (const CLI::App* sibling : CommandTree::subcommands(tree.root())) {
      if (sibling != &command) entry.positionalWords.push_back(sibling->get_name());
    }
  }
  commands.push_back(std::move(entry));
  for (const CLI::App* subcommand : CommandTree::subcommands(command)) {
    collect(tree, *subcommand, commands);
  }
}

}  // namespace

std::vector<CompletionCommand> completionCommands(const CommandTree& tree) {
  std::vector<CompletionCommand> commands;
  collect(tree, tree.root(), commands);
  return commands;
}

std::optional<std::string> completionScript(const CommandTree& tree, const std::string& shell) {
  const auto commands = completionCommands(tree);
  if (shell == "bash") return bashCompletionScript(commands);
  if (shell == "zsh") return zshCompletionScript(commands);
  if (shell == "fish") return fishCompletionScript(commands);
  return std::nullopt;
}

}  // namespace tavra::ctl
