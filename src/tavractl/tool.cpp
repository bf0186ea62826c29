#include "tool.h"

#include <algorithm>
#include <functional>
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

// A word of the command line is never quoted in a message: it may be a secret (`encrypt` takes
// one). A word is named by its position instead, 1 for the first word after the program name,
// and by the option whose value it is, if any.
std::string wordName(std::size_t position, const std::string& option) {
  std::string name = "argument " + std::to_string(position);
  if (!option.empty()) name += " (the value of " + option + ")";
  return name;
}

// What the parser makes of the first words of a command line, for naming a word by its place.
struct Reading {
  std::vector<std::string> leftOver;  // the words nobody took (see leftOver)
  std::string valueOf;                // the option whose value the last word is, or nothing
  std::size_t helpWords = 0;          // the words the help subcommand took
  // The parser refused a word for what it holds (a flag given a value it cannot take), as
  // opposed to a member missing or an option left without its value at the end.
  bool refused = false;
  // The last word is a flag with a value joined to it ("--check=false"). The parser would take
  // the value as the flag's setting; a flag is only ever given or not.
  bool flagWithValue = false;
};

Reading readPrefix(const std::vector<std::string>& arguments, std::size_t count, Context& context) {
  CommandTree tree(toolName, toolAbstract, std::string(Constants::version), context);
  declareCommands(tree);
  RootExtras extras;
  declareRootExtras(tree, extras);
  CLI::App& root = tree.root();
  std::vector<std::string> words(arguments.rend() - static_cast<std::ptrdiff_t>(count),
                                 arguments.rend());
  bool refused = false;
  try {
    root.parse(words);
  } catch (const CLI::Success&) {
  } catch (const CLI::RequiredError&) {
  } catch (const CLI::ArgumentMismatch&) {
  } catch (const CLI::ParseError&) {
    refused = true;
  } catch (const CLI::Error&) {
    // What was read so far is all that is asked for.
  }
  Reading reading{
      .leftOver = leftOver(root), .helpWords = extras.helpWords.size(), .refused = refused};
  if (count == 0) return reading;
  const std::string& last = arguments[count - 1];
  for (const CLI::App* level = &CommandTree::selected(root); level != nullptr;
       level = level->get_parent()) {
    for (const CLI::Option* option : level->get_options()) {
      if (!option->nonpositional() || !CommandTree::takesValue(*option) || option->count() == 0) {
        continue;
      }
      const std::string name = CommandTree::displayName(*option);
      const std::string& value = option->results().back();
      const bool separate = count > 1 && arguments[count - 2] == name && value == last;
      const bool joined = last.size() > name.size() && last.starts_with(name + "=") &&
                          value == std::string_view(last).substr(name.size() + 1);
      if (separate || joined) reading.valueOf = name;
    }
  }
  const std::size_t equals = last.find('=');
  const auto before = arguments.begin() + static_cast<std::ptrdiff_t>(count - 1);
  if (last.starts_with("--") && equals != std::string::npos && reading.valueOf.empty() &&
      std::find(arguments.begin(), before, "--") == before) {
    const std::string name = last.substr(0, equals);
    for (const CLI::App* level = &CommandTree::selected(root); level != nullptr;
         level = level->get_parent()) {
      for (const CLI::Option* option : level->get_options()) {
        if (option->nonpositional() && !CommandTree::takesValue(*option) &&
            CommandTree::displayName(*option) == name) {
          reading.flagWithValue = true;
        }
      }
    }
  }
  return reading;
}

// The smallest count of words for which `holds` is true, or nothing. `holds` only ever turns
// from false to true as words are added: the parser decides on each word from those before it.
std::optional<std::size_t> shortestPrefix(std::size_t words,
                                          const std::function<bool(std::size_t)>& holds) {
  if (!holds(words)) return std::nullopt;
  std::size_t low = 1;
  std::size_t high = words;
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    if (holds(middle)) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  return low;
}

// The first word nobody took, in the tool's words. "--" only ends the options: CLI11 keeps it
// in place of the words after it, so the first of those is named, or the mark when none follows.
std::string leftOverMessage(const std::vector<std::string>& arguments, Context& context) {
  const auto leavesAWord = [&](std::size_t count) {
    const std::vector<std::string> words = readPrefix(arguments, count, context).leftOver;
    return std::any_of(words.begin(), words.end(), [](const auto& w) { return w != "--"; });
  };
  std::optional<std::size_t> position = shortestPrefix(arguments.size(), leavesAWord);
  if (!position) {
    const auto mark = std::find(arguments.begin(), arguments.end(), "--");
    if (mark == arguments.end()) return "an argument is unexpected";
    position = static_cast<std::size_t>(mark - arguments.begin()) + 1;
    if (std::next(mark) != arguments.end()) ++*position;
    return wordName(*position, "") + " is unexpected";
  }
  const std::string& word = arguments[*position - 1];
  const auto before = arguments.begin() + static_cast<std::ptrdiff_t>(*position - 1);
  const bool afterTheMark = std::find(arguments.begin(), before, "--") != before;
  if (!afterTheMark && word.size() > 1 && word.front() == '-') {
    return wordName(*position, "") + " is an unknown option";
  }
  return wordName(*position, "") + " is unexpected";
}

// The refusal of the first word that joins a value to a flag ("--check=false"), if any.
std::optional<std::string> flagValueMessage(const std::vector<std::string>& arguments,
                                            Context& context) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i].starts_with("--") && arguments[i].find('=') != std::string::npos &&
        readPrefix(arguments, i + 1, context).flagWithValue) {
      return wordName(i + 1, "") + " gives a flag a value it cannot take";
    }
  }
  return std::nullopt;
}

// The message of a parse error in the tool's words, where it can name the member.
std::string parseErrorMessage(const CLI::App& command, const CLI::ParseError& error,
                              const std::vector<std::string>& arguments, Context& context) {
  const bool required = dynamic_cast<const CLI::RequiredError*>(&error) != nullptr;
  const bool mismatch = dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr;
  if (!required && !mismatch) {
    // The parser's own text would quote the word; it is named by its place instead.
    const std::optional<std::size_t> position = shortestPrefix(
        arguments.size(),
        [&](std::size_t count) { return readPrefix(arguments, count, context).refused; });
    const std::string word = wordName(position.value_or(arguments.size()), "");
    if (dynamic_cast<const CLI::ConversionError*>(&error) != nullptr) {
      return word + " gives a flag a value it cannot take";
    }
    return word + " cannot be parsed";
  }
  if (required) {
    for (const CLI::Option* member : CommandTree::members(command)) {
      if (member->get_required() && member->count() == 0) {
        return "Missing expected argument '" + memberSynopsis(*member) + "'";
      }
    }
  }
  // An option that takes a value but ends the words.
  if (mismatch && !arguments.empty()) {
    for (const CLI::App* level = &command; level != nullptr; level = level->get_parent()) {
      for (const CLI::Option* option : level->get_options()) {
        if (option->nonpositional() && CommandTree::takesValue(*option) &&
            CommandTree::displayName(*option) == arguments.back()) {
          return "Missing value for '" + memberSynopsis(*option) + "'";
        }
      }
    }
  }
  // These texts name members only, never a word that was given.
  return error.what();
}

// The command a `help` subcommand names, from the root down; nothing when the word at index
// `unknown` of its words names no command.
const CLI::App* helpTarget(const CommandTree& tree, const RootExtras& extras,
                           std::size_t& unknown) {
  const CLI::App* command = &tree.root();
  for (std::size_t i = 0; i < extras.helpWords.size(); ++i) {
    const CLI::App* next = nullptr;
    for (const CLI::App* subcommand : CommandTree::subcommands(*command)) {
      if (subcommand->get_name() == extras.helpWords[i]) next = subcommand;
    }
    if (next == nullptr) {
      unknown = i;
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

    for (std::size_t i = 0; i < arguments.size(); ++i) {
      if (!unicode::isValidUTF8(arguments[i])) {
        const std::string option = readPrefix(arguments, i + 1, context).valueOf;
        return usageError(errors, root, wordName(i + 1, option) + " is not valid UTF-8");
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
                        unused.empty() ? parseErrorMessage(command, error, arguments, context)
                                       : leftOverMessage(arguments, context));
    }

    const CLI::App& command = CommandTree::selected(root);
    const std::optional<std::string> refused = leftOver(root).empty()
                                                   ? flagValueMessage(arguments, context)
                                                   : leftOverMessage(arguments, context);
    if (refused) return usageError(errors, command, *refused);
    if (extras.dumpHelp) {
      writeVerbatim(context.out, dumpHelpJSON(tree));
      context.out.flush();
      return exitSuccess;
    }
    if (extras.completionShell) {
      std::optional<std::string> script = completionScript(tree, *extras.completionShell);
      if (!script) {
        std::size_t position = arguments.size();
        while (position > 1 && readPrefix(arguments, position, context).valueOf.empty()) {
          --position;
        }
        return usageError(errors, root,
                          wordName(position, "--generate-completion-script") +
                              " is not a shell with completions (bash, zsh, fish)");
      }
      writeVerbatim(context.out, *script);
      context.out.flush();
      return exitSuccess;
    }
    if (&command == extras.help) {
      std::size_t unknown = 0;
      const CLI::App* target = helpTarget(tree, extras, unknown);
      if (target == nullptr) {
        const std::optional<std::size_t> position =
            shortestPrefix(arguments.size(), [&](std::size_t count) {
              return readPrefix(arguments, count, context).helpWords > unknown;
            });
        return usageError(
            errors, command,
            wordName(position.value_or(arguments.size()), "") + " is not a subcommand");
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
