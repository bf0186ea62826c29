#include "dump_help.h"

#include "tavra/json.h"
#include "tavra/value.h"

namespace tavra::ctl {
namespace {

Value nameInfo(const std::string& kind, const std::string& name) {
  return Value::Object{{"kind", kind}, {"name", name}};
}

Value argumentInfo(const CLI::Option& member) {
  Value::Object info{
      {"isOptional", CommandTree::isOptional(member)},
      {"isRepeating", CommandTree::isRepeating(member)},
      {"shouldDisplay", true},
  };
  if (!member.nonpositional()) {
    info.emplace("kind", "positional");
  } else {
    info.emplace("kind", CommandTree::takesValue(member) ? "option" : "flag");
    Value::Array names;
    for (const auto& name : member.get_snames()) names.push_back(nameInfo("short", name));
    for (const auto& name : member.get_lnames()) names.push_back(nameInfo("long", name));
    info.emplace("names", std::move(names));
    info.emplace("preferredName", nameInfo("long", member.get_lnames().front()));
  }
  if (CommandTree::takesValue(member)) info.emplace("valueName", CommandTree::valueName(member));
  if (!member.get_description().empty()) info.emplace("abstract", member.get_description());
  return info;
}

Value commandInfo(const CommandTree& tree, const CLI::App& command) {
  Value::Object info{
      {"commandName", command.get_name()},
      {"shouldDisplay", !command.get_group().empty()},
  };
  if (!command.get_description().empty()) info.emplace("abstract", command.get_description());
  if (!tree.discussion(command).empty()) info.emplace("discussion", tree.discussion(command));

  Value::Array superCommands;
  for (const CLI::App* parent = command.get_parent(); parent != nullptr;
       parent = parent->get_parent()) {
    superCommands.insert(superCommands.begin(), Value(parent->get_name()));
  }
  if (!superCommands.empty()) info.emplace("superCommands", std::move(superCommands));

  Value::Array subcommands;
  for (const CLI::App* subcommand : CommandTree::subcommands(command)) {
    subcommands.push_back(commandInfo(tree, *subcommand));
  }
  if (!subcommands.empty()) info.emplace("subcommands", std::move(subcommands));

  Value::Array arguments;
  for (const CLI::Option* member : CommandTree::members(command)) {
    arguments.push_back(argumentInfo(*member));
  }
  if (!arguments.empty()) info.emplace("arguments", std::move(arguments));
  return info;
}

}  // namespace

std::string dumpHelpJSON(const CommandTree& tree) {
  Value document =
      Value::Object{{"serializationVersion", 0}, {"command", commandInfo(tree, tree.root())}};
  return json::write(document, {.pretty = true, .escapeSlash = false}) + "\n";
}

}  // namespace tavra::ctl
