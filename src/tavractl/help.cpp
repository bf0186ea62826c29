#include "help.h"

namespace tavra::ctl {
namespace {

// Labels are indented by two blanks; help texts start in this column.
constexpr std::size_t labelColumn = 26;

std::string label(const CLI::Option& member) {
  if (!member.nonpositional()) return "<" + member.get_name() + ">";
  std::string text;
  for (const auto& name : member.get_snames()) text += "-" + name + ", ";
  text += CommandTree::displayName(member);
  if (CommandTree::takesValue(member)) text += " <" + CommandTree::valueName(member) + ">";
  return text;
}

std::string row(const std::string& name, const std::string& help) {
  std::string line = "  " + name;
  if (help.empty()) return line + "\n";
  if (line.size() < labelColumn) {
    line.append(labelColumn - line.size(), ' ');
  } else {
    line += "\n" + std::string(labelColumn, ' ');
  }
  return line + help + "\n";
}

bool isDisplayed(const CLI::App& command) {
  return !command.get_group().empty();
}

}  // namespace

std::string memberSynopsis(const CLI::Option& member) {
  std::string text = member.nonpositional() ? CommandTree::displayName(member) : std::string();
  if (CommandTree::takesValue(member)) {
    if (!text.empty()) text += " ";
    text += "<" + CommandTree::valueName(member) + ">";
  }
  if (CommandTree::isRepeating(member)) text += " ...";
  return text;
}

std::string usageLine(const CLI::App& command) {
  std::string usage = CommandTree::path(command);
  for (const CLI::Option* member : CommandTree::members(command)) {
    if (member == command.get_help_ptr() || member == command.get_version_ptr()) continue;
    std::string synopsis = memberSynopsis(*member);
    usage += " " + (CommandTree::isOptional(*member) ? "[" + synopsis + "]" : synopsis);
  }
  if (!CommandTree::subcommands(command).empty()) usage += " <subcommand>";
  return usage;
}

std::string helpText(const CommandTree& tree, const CLI::App& command) {
  std::string text;
  if (!command.get_description().empty()) text += "OVERVIEW: " + command.get_description() + "\n\n";
  if (const std::string& discussion = tree.discussion(command); !discussion.empty()) {
    text += discussion + "\n\n";
  }
  text += "USAGE: " + usageLine(command) + "\n";

  std::string arguments;
  std::string options;
  for (const CLI::Option* member : CommandTree::members(command)) {
    std::string& section = member->nonpositional() ? options : arguments;
    section += row(label(*member), member->get_description());
  }
  if (!arguments.empty()) text += "\nARGUMENTS:\n" + arguments;
  if (!options.empty()) text += "\nOPTIONS:\n" + options;

  std::string subcommands;
  for (const CLI::App* subcommand : CommandTree::subcommands(command)) {
    if (isDisplayed(*subcommand)) {
      subcommands += row(subcommand->get_name(), subcommand->get_description());
    }
  }
  if (!subcommands.empty()) {
    std::string helpPath = CommandTree::path(tree.root()) + " help";
    if (command.get_parent() != nullptr) {
      helpPath += CommandTree::path(command).substr(CommandTree::path(tree.root()).size());
    }
    text += "\nSUBCOMMANDS:\n" + subcommands + "\n  See '" + helpPath +
            " <subcommand>' for detailed help.\n";
  }
  return text;
}

std::string usageErrorText(const CLI::App& command, const std::string& message) {
  return "Error: " + message + "\nUsage: " + usageLine(command) + "\n  See '" +
         CommandTree::path(command) + " --help' for more information.\n";
}

}  // namespace tavra::ctl
