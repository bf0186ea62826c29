// CommandTree: the tool's command tree on CLI11, with what CLI11 itself does not record.
//
// Commands and members are declared through this class so that every member is a long option,
// a flag or a positional argument in the tool's conventions (an option takes its value from the
// next word; given twice, the last value counts). Beside the CLI11 apps it keeps each command's
// discussion and run, and each member's completion kind. Help, usage, completion scripts and the
// dump of the tree are all generated from this one tree (help.h, completion.h, dump_help.h).
// Single-threaded; the tree owns every command's options for the life of the invocation.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "context.h"

namespace tavra::ctl {

// What a shell offers for a member's value.
enum class Completion { none, file, directory };

class CommandTree {
 public:
  using Run = std::function<void()>;

  CommandTree(std::string name, std::string abstract, std::string version, Context& context);
  CommandTree(const CommandTree&) = delete;
  CommandTree& operator=(const CommandTree&) = delete;

  CLI::App& root() noexcept { return root_; }
  const CLI::App& root() const noexcept { return root_; }
  Context& context() noexcept { return context_; }
  const std::string& version() const noexcept { return version_; }

  // A subcommand of `parent`, after the ones already declared.
  CLI::App& addCommand(CLI::App& parent, const std::string& name, const std::string& abstract,
                       const std::string& discussion = "");

  // `name` is the long name without its dashes, e.g. "unmanaged-only".
  void addFlag(CLI::App& command, const std::string& name, bool& target, const std::string& help);
  void addOption(CLI::App& command, const std::string& name, std::optional<std::string>& target,
                 const std::string& help, Completion completion = Completion::none);
  void addRequiredOption(CLI::App& command, const std::string& name, std::string& target,
                         const std::string& help, Completion completion = Completion::none);
  // Positional arguments: one optional word, one required word, or one or more words.
  void addArgument(CLI::App& command, const std::string& name, std::optional<std::string>& target,
                   const std::string& help, Completion completion = Completion::none);
  void addRequiredArgument(CLI::App& command, const std::string& name, std::string& target,
                           const std::string& help, Completion completion = Completion::none);
  void addArguments(CLI::App& command, const std::string& name, std::vector<std::string>& target,
                    const std::string& help, Completion completion = Completion::none);

  void setRun(const CLI::App& command, Run run);

  const std::string& discussion(const CLI::App& command) const;
  const Run* run(const CLI::App& command) const;
  Completion completion(const CLI::Option& member) const;

  // The declared subcommands of `command`, in order.
  static std::vector<const CLI::App*> subcommands(const CLI::App& command);
  // The members of `command` as help shows them: its own members in declaration order, then
  // --version (root only) and -h/--help. Hidden options are left out.
  static std::vector<const CLI::Option*> members(const CLI::App& command);
  // "tavractl catalog sign".
  static std::string path(const CLI::App& command);
  // The long name ("--file"), or the positional name ("paths").
  static std::string displayName(const CLI::Option& member);
  // The value name shown as <name>; empty for flags.
  static std::string valueName(const CLI::Option& member);
  static bool takesValue(const CLI::Option& member);
  static bool isRepeating(const CLI::Option& member);
  static bool isOptional(const CLI::Option& member);
  // The command's subcommand chain as parsed: the deepest selected command.
  static const CLI::App& selected(const CLI::App& root);

 private:
  CLI::Option& declare(CLI::App& command, CLI::Option* option, const std::string& valueName,
                       Completion completion);

  CLI::App root_;
  std::string version_;
  Context& context_;
  std::map<const CLI::App*, std::string> discussions_;
  std::map<const CLI::App*, Run> runs_;
  std::map<const CLI::Option*, Completion> completions_;
};

}  // namespace tavra::ctl
