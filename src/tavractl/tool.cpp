#include "tool.h"

#include <algorithm>
#include <ostream>

#include "commands.h"
#include "completion.h"
#include "dump_help.h"
#include "errors.h"
#include "help.h"
#include "tavra/constants.h"
#include "tavra/error.h"
#include "tavra/platform/unicode.h"
#include "terminal_text.h"

namespace tavra::ctl {
namespace {

constexpr const char* toolName = "tavractl";
constexpr const char* toolAbstract =
    "Inspect and administer Tavra, the MDM-driven agent-harness policy daemon.";

// The members the tool adds on its root beyond the declared commands: the completion scripts,
// the dump of the tree (both hidden) and the help subcommand.
struct RootExtras {
  std::optional<std::string> completionShell;
  bool dumpHelp = false;
  std::vector<std::string> helpWords;
  CLI::App* help = nullptr;
};

void declareRootExtras(CommandTree& tree, RootExtras& extras) {
  CLI::App& root = tree.root();
  root.add_option_function<std::string>(
          "--generate-completion-script",
          [&extras](const std::string& shell) { extras.completionShell = shell; },
          "Generate a completion script for the given shell.")
      ->type_name("shell")
      ->group("");
  root.add_flag("--experimental-dump-help", extras.dumpHelp, "Dump help information as JSON.")
      ->group("");
  extras.help = &tree.addCommand(root, "help", "Show subcommand help information.");
  extras.help->group("");
  extras.help->add_option("subcommands", extras.helpWords)->type_name("subcommands");
}

// The words nobody took, in the chain of parsed commands from the root down.
//
// A command that still wanted positionals records the end-of-options mark "--" among them, before
// any word that followed it; the words after it went to its positionals and only those that none
// took are left over. So below the root the first "--" is the mark itself, not a word. On the
// root it stays: no command was chosen before it.
std::vector<std::string> leftOver(const CLI::App& root) {
  std::vector<std::string> words;
  const CLI::App* command = &root;
  for (;;) {
    bool markSeen = command == &root;
    for (const std::string& word : command->remaining(false)) {
      if (!markSeen && word == "--") {
        markSeen = true;
        continue;
      }
      words.push_back(word);
    }
    auto chosen = command->get_subcommands();
    if (chosen.empty()) return words;
    command = chosen.front();
  }
}

// The first word nobody took, in the tool's words. "--" only ends the options: CLI11 keeps it
// in place of the words after it, so the first of those is named.
std::string leftOverMessage(const std::vector<std::string>& words,
                            const std::vector<std::string>& arguments) {
  std::string word = "--";
  for (const std::string& candidate : words) {
    if (candidate != "--") {
      word = candidate;
      break;
    }
  }
  if (word == "--") {
    auto end = std::find(arguments.begin(), arguments.end(), "--");
    if (end != arguments.end() && std::next(end) != arguments.end()) {
      return "Unexpected argument '" + *std::next(end) + "'";
    }
    return "Unexpected argument '--'";
  }
  if (word.size() > 1 && word.front() == '-') return "Unknown option '" + word + "'";
  return "Unexpected argument '" + word + "'";
}

// The message of a parse error in the tool's words, where it can name the member.
std::string parseErrorMessage(const CLI::App& command, const CLI::ParseError& error,
                              const std::vector<std::string>& arguments) {
  if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) {
    for (const CLI::Option* member : CommandTree::members(command)) {
      if (member->get_required() && member->count() == 0) {
        return "Missing expected argument '" + memberSynopsis(*member) + "'";
      }
    }
  }
  // An option that takes a value but ends the words.
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr && !arguments.empty()) {
    for (const CLI::App* level = &command; level != nullptr; level = level->get_parent()) {
      for (const CLI::Option* option : level->get_options()) {
        if (option->nonpositional() && CommandTree::takesValue(*option) &&
            CommandTree::displayName(*option) == arguments.back()) {
          return "Missing value for '" + memberSynopsis(*option) + "'";
        }
      }
    }
  }
  return error.what();
}

// The command a `help` subcommand names, from the root down.
const CLI::App* helpTarget(const CommandTree& tree, const RootExtras& extras,
                           std::string& unknown) {
  const CLI::App* command = &tree.root();
  for (const std::string& word : extras.helpWords) {
    const CLI::App* next = nullptr;
    for (const CLI::App* subcommand : CommandTree::subcommands(*command)) {
      if (subcommand->get_name() == word) next = subcommand;
    }
    if (next == nullptr) {
      unknown = word;
      return nullptr;
    }
    command = next;
  }
  return command;
}

int usageError(std::ostream& errors, const CLI::App& command, const std::string& message) {
  errors << usageErrorText(command, message) << std::flush;
  return exitUsage;
}

// Output that could not be written (a full disk, a closed pipe) is a failure, not a success.
int finished(int status, Context& context, std::ostream& errors) {
  context.out.flush();
  if (status == exitSuccess && !context.out) {
    errors << "Error: cannot write to standard output\n" << std::flush;
    return exitFailure;
  }
  return status;
}

int runCommand(const CommandTree& tree, const CLI::App& command, Context& context,
               std::ostream& errors) {
  const CommandTree::Run* run = tree.run(command);
  if (run == nullptr) {
    context.out << helpText(tree, command) << std::flush;
    return exitSuccess;
  }
  try {
    (*run)();
    context.out.flush();
    return exitSuccess;
  } catch (const ValidationError& error) {
    context.out.flush();
    return usageError(errors, command, error.what());
  } catch (const ExitCode& code) {
    context.out.flush();
    return code.status();
  } catch (const std::exception& error) {
    context.out.flush();
    errors << "Error: " << describe(error) << "\n" << std::flush;
  } catch (...) {
    context.out.flush();
    errors << "Error: unknown error\n" << std::flush;
  }
  return exitFailure;
}

// The whole invocation; its status before the output is checked.
int invoke(const std::vector<std::string>& arguments, Context& context, std::ostream& errors) {
  try {
    CommandTree tree(toolName, toolAbstract, std::string(Constants::version), context);
    declareCommands(tree);
    RootExtras extras;
    declareRootExtras(tree, extras);
    CLI::App& root = tree.root();

    for (const std::string& word : arguments) {
      if (!unicode::isValidUTF8(word)) {
        return usageError(errors, root,
                          "argument is not valid UTF-8: '" + unicode::repairedUTF8(word) + "'");
      }
    }

    std::vector<std::string> words(arguments.rbegin(), arguments.rend());
    try {
      root.parse(words);
    } catch (const CLI::CallForHelp&) {
      context.out << helpText(tree, CommandTree::selected(root)) << std::flush;
      return exitSuccess;
    } catch (const CLI::CallForVersion& version) {
      context.out << version.what() << "\n" << std::flush;
      return exitSuccess;
    } catch (const CLI::ParseError& error) {
      const CLI::App& command = CommandTree::selected(root);
      std::vector<std::string> unused = leftOver(root);
      return usageError(errors, command,
                        unused.empty() ? parseErrorMessage(command, error, arguments)
                                       : leftOverMessage(unused, arguments));
    }

    const CLI::App& command = CommandTree::selected(root);
    if (std::vector<std::string> unused = leftOver(root); !unused.empty()) {
      return usageError(errors, command, leftOverMessage(unused, arguments));
    }
    if (extras.dumpHelp) {
      writeVerbatim(context.out, dumpHelpJSON(tree));
      context.out.flush();
      return exitSuccess;
    }
    if (extras.completionShell) {
      std::optional<std::string> script = completionScript(tree, *extras.completionShell);
      if (!script) {
        return usageError(errors, root,
                          "The value '" + *extras.completionShell +
                              "' is invalid for '--generate-completion-script <shell>'");
      }
      writeVerbatim(context.out, *script);
      context.out.flush();
      return exitSuccess;
    }
    if (&command == extras.help) {
      std::string unknown;
      const CLI::App* target = helpTarget(tree, extras, unknown);
      if (target == nullptr) {
        return usageError(errors, command, "Unknown subcommand '" + unknown + "'");
      }
      context.out << helpText(tree, *target) << std::flush;
      return exitSuccess;
    }
    return runCommand(tree, command, context, errors);
  } catch (const std::exception& error) {
    errors << "Error: " << describe(error) << "\n" << std::flush;
  } catch (...) {
    errors << "Error: unknown error\n" << std::flush;
  }
  return exitFailure;
}

}  // namespace

int runTool(const std::vector<std::string>& arguments, Context& context, std::ostream& errors) {
  // What any command prints for people is made safe for a terminal here, once for all of them.
  const TerminalText output(context.out);
  const TerminalText errorOutput(errors);
  return finished(invoke(arguments, context, errors), context, errors);
}

}  // namespace tavra::ctl
