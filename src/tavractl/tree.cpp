#include "tree.h"

namespace tavra::ctl {
namespace {

const std::string noDiscussion;

}  // namespace

CommandTree::CommandTree(std::string name, std::string abstract, std::string version,
                         Context& context)
    : root_(std::move(abstract), std::move(name)), version_(std::move(version)), context_(context) {
  // Words the tree does not know are collected, not refused, so that the tool words the error
  // itself and shows the usage of the command that was reached.
  root_.allow_extras(true);
  // One subcommand per level, and once it is chosen its words are its own: a positional value
  // that happens to be a command name ("status") is not taken as that command.
  root_.require_subcommand(0, 1);
  root_.set_help_flag("-h,--help", "Show help information.");
  root_.set_version_flag("--version", version_, "Show the version.");
}

CLI::App& CommandTree::addCommand(CLI::App& parent, const std::string& name,
                                  const std::string& abstract, const std::string& discussion) {
  CLI::App* command = parent.add_subcommand(name, abstract);
  command->allow_extras(true);
  if (!discussion.empty()) discussions_[command] = discussion;
  return *command;
}

CLI::Option& CommandTree::declare(CLI::App& command, CLI::Option* option,
                                  const std::string& valueName, Completion completion) {
  (void)command;
  if (!valueName.empty()) option->type_name(valueName);
  completions_[option] = completion;
  return *option;
}

void CommandTree::addFlag(CLI::App& command, const std::string& name, bool& target,
                          const std::string& help) {
  CLI::Option* flag = command.add_flag("--" + name, target, help);
  flag->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  declare(command, flag, "", Completion::none);
}

void CommandTree::addOption(CLI::App& command, const std::string& name,
                            std::optional<std::string>& target, const std::string& help,
                            Completion completion) {
  CLI::Option* option = command.add_option_function<std::string>(
      "--" + name, [&target](const std::string& value) { target = value; }, help);
  option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  declare(command, option, name, completion);
}

void CommandTree::addRequiredOption(CLI::App& command, const std::string& name, std::string& target,
                                    const std::string& help, Completion completion) {
  CLI::Option* option = command.add_option("--" + name, target, help);
  option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)->required();
  declare(command, option, name, completion);
}

void CommandTree::addArgument(CLI::App& command, const std::string& name,
                              std::optional<std::string>& target, const std::string& help,
                              Completion completion) {
  CLI::Option* argument = command.add_option_function<std::string>(
      name, [&target](const std::string& value) { target = value; }, help);
  declare(command, argument, name, completion);
}

void CommandTree::addRequiredArgument(CLI::App& command, const std::string& name,
                                      std::string& target, const std::string& help,
                                      Completion completion) {
  CLI::Option* argument = command.add_option(name, target, help);
  argument->required();
  declare(command, argument, name, completion);
}

void CommandTree::addArguments(CLI::App& command, const std::string& name,
                               std::vector<std::string>& target, const std::string& help,
                               Completion completion) {
  CLI::Option* arguments = command.add_option(name, target, help);
  arguments->required();
  declare(command, arguments, name, completion);
}

void CommandTree::setRun(const CLI::App& command, Run run) {
  runs_[&command] = std::move(run);
}

const std::string& CommandTree::discussion(const CLI::App& command) const {
  auto found = discussions_.find(&command);
  return found == discussions_.end() ? noDiscussion : found->second;
}

const CommandTree::Run* CommandTree::run(const CLI::App& command) const {
  auto found = runs_.find(&command);
  return found == runs_.end() ? nullptr : &found->second;
}

Completion CommandTree::completion(const CLI::Option& member) const {
  auto found = completions_.find(&member);
  return found == completions_.end() ? Completion::none : found->second;
}

std::vector<const CLI::App*> CommandTree::subcommands(const CLI::App& command) {
  return command.get_subcommands([](const CLI::App*) { return true; });
}

std::vector<const CLI::Option*> CommandTree::members(const CLI::App& command) {
  const CLI::Option* help = command.get_help_ptr();
  const CLI::Option* version = command.get_version_ptr();
  std::vector<const CLI::Option*> members;
  for (const CLI::Option* option : command.get_options()) {
    if (option == help || option == version || option->get_group().empty()) continue;
    members.push_back(option);
  }
  if (version != nullptr) members.push_back(version);
  if (help != nullptr) members.push_back(help);
  return members;
}

std::string CommandTree::path(const CLI::App& command) {
  const CLI::App* parent = command.get_parent();
  return parent == nullptr ? command.get_name() : path(*parent) + " " + command.get_name();
}

std::string CommandTree::displayName(const CLI::Option& member) {
  if (!member.nonpositional()) return member.get_name();
  return "--" + member.get_lnames().front();
}

std::string CommandTree::valueName(const CLI::Option& member) {
  return takesValue(member) ? member.get_type_name() : std::string();
}

bool CommandTree::takesValue(const CLI::Option& member) {
  return member.get_items_expected_max() > 0;
}

bool CommandTree::isRepeating(const CLI::Option& member) {
  return member.get_items_expected_max() > 1;
}

bool CommandTree::isOptional(const CLI::Option& member) {
  return !member.get_required();
}

const CLI::App& CommandTree::selected(const CLI::App& root) {
  const CLI::App* command = &root;
  for (;;) {
    auto chosen = command->get_subcommands();
    if (chosen.empty()) return *command;
    command = chosen.front();
  }
}

}  // namespace tavra::ctl
