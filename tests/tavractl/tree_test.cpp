// The command tree: every command and member as declared, help and usage, and how parse errors,
// help requests and the version reach the user.
#include <gtest/gtest.h>

#include "commands.h"
#include "expected_tree.h"
#include "fake_context.h"
#include "help.h"
#include "tavra/base64.h"
#include "tavra/platform/crypto.h"
#include "tavra/secret_envelope.h"
#include "tree.h"

namespace tavra::test {
namespace {

using ctl::CommandTree;

class TreeTest : public ::testing::Test {
 protected:
  TreeTest() : tree("tavractl", "abstract", "0.2.1", fake.context) { ctl::declareCommands(tree); }

  const CLI::App* find(const std::string& path) {
    const CLI::App* command = &tree.root();
    std::istringstream words(path);
    std::string word;
    words >> word;  // the tool's own name
    while (words >> word) {
      const CLI::App* next = nullptr;
      for (const CLI::App* subcommand : CommandTree::subcommands(*command)) {
        if (subcommand->get_name() == word) next = subcommand;
      }
      if (next == nullptr) return nullptr;
      command = next;
    }
    return command;
  }

  FakeContext fake;
  CommandTree tree;
};

std::string kindOf(const CLI::Option& member) {
  if (!member.nonpositional()) return "positional";
  return CommandTree::takesValue(member) ? "option" : "flag";
}

TEST_F(TreeTest, EveryCommandHasItsAbstractAndMembersInOrder) {
  for (const auto& expected : expectedCommands()) {
    SCOPED_TRACE(expected.path);
    const CLI::App* command = find(expected.path);
    ASSERT_NE(command, nullptr);
    if (expected.path != "tavractl") {
      EXPECT_EQ(command->get_description(), expected.abstract);
    }

    std::vector<const CLI::Option*> members = CommandTree::members(*command);
    // The declared members come first; -h/--help (and --version on the root) close the list.
    const std::size_t extra = expected.path == "tavractl" ? 2 : 1;
    ASSERT_EQ(members.size(), expected.members.size() + extra);
    for (std::size_t i = 0; i < expected.members.size(); ++i) {
      const auto& want = expected.members[i];
      const CLI::Option& member = *members[i];
      SCOPED_TRACE(want.name);
      EXPECT_EQ(kindOf(member), want.kind);
      EXPECT_EQ(member.nonpositional() ? member.get_lnames().front() : member.get_name(),
                want.name);
      EXPECT_TRUE(member.get_snames().empty()) << "long names only";
      EXPECT_EQ(CommandTree::isOptional(member), want.optional);
      EXPECT_EQ(CommandTree::isRepeating(member), want.repeating);
      EXPECT_EQ(member.get_description(), want.help);
    }
    EXPECT_EQ(members.back()->get_lnames(), std::vector<std::string>{"help"});
    EXPECT_EQ(members.back()->get_snames(), std::vector<std::string>{"h"});
  }
}

TEST_F(TreeTest, SubcommandsComeInDeclaredOrder) {
  std::vector<std::string> names;
  for (const CLI::App* command : CommandTree::subcommands(tree.root())) {
    names.push_back(command->get_name());
  }
  EXPECT_EQ(names, rootSubcommands);
  names.clear();
  for (const CLI::App* command : CommandTree::subcommands(*find("tavractl catalog"))) {
    names.push_back(command->get_name());
  }
  EXPECT_EQ(names, catalogSubcommands);
}

TEST_F(TreeTest, OnlyTheRootHasAVersion) {
  EXPECT_NE(tree.root().get_version_ptr(), nullptr);
  for (const auto& expected : expectedCommands()) {
    if (expected.path == "tavractl") continue;
    EXPECT_EQ(find(expected.path)->get_version_ptr(), nullptr) << expected.path;
  }
}

TEST_F(TreeTest, HelpShowsAbstractUsageAndEveryMemberWithItsHelp) {
  for (const auto& expected : expectedCommands()) {
    SCOPED_TRACE(expected.path);
    const std::string help = ctl::helpText(tree, *find(expected.path));
    if (expected.path != "tavractl") {
      EXPECT_NE(help.find("OVERVIEW: " + expected.abstract + "\n"), std::string::npos);
    }
    EXPECT_NE(help.find("USAGE: " + expected.path), std::string::npos);
    for (const auto& member : expected.members) {
      const std::string label =
          member.kind == "positional" ? "<" + member.name + ">" : "--" + member.name;
      EXPECT_NE(help.find("  " + label), std::string::npos) << label;
      EXPECT_NE(help.find(member.help + "\n"), std::string::npos) << member.help;
    }
    EXPECT_NE(help.find("  -h, --help              Show help information.\n"), std::string::npos);
  }
}

TEST_F(TreeTest, OnlySimulateHasADiscussionShownWithItsLineBreaks) {
  for (const auto& expected : expectedCommands()) {
    const std::string& discussion = tree.discussion(*find(expected.path));
    if (expected.path == "tavractl simulate") {
      EXPECT_EQ(discussion, simulateDiscussion);
      EXPECT_NE(
          ctl::helpText(tree, *find(expected.path)).find("\n\n" + simulateDiscussion + "\n\n"),
          std::string::npos);
    } else {
      EXPECT_EQ(discussion, "") << expected.path;
    }
  }
}

TEST_F(TreeTest, UsageMarksOptionalAndRepeatingMembers) {
  EXPECT_EQ(ctl::usageLine(*find("tavractl status")),
            "tavractl status [--json] [--check] [--line] [--file <file>]");
  EXPECT_EQ(ctl::usageLine(*find("tavractl simulate")),
            "tavractl simulate <paths> ... --catalog <catalog> --out <out> [--key <key>]");
  EXPECT_EQ(ctl::usageLine(*find("tavractl encrypt")),
            "tavractl encrypt [--cert <cert>] [--public-key <public-key>] [<value>]");
  EXPECT_EQ(ctl::usageLine(*find("tavractl catalog")), "tavractl catalog <subcommand>");
  EXPECT_EQ(ctl::usageLine(tree.root()), "tavractl <subcommand>");
}

TEST_F(TreeTest, RootHelpListsTheSubcommandsAndTheHelpCommand) {
  const std::string help = ctl::helpText(tree, tree.root());
  std::size_t at = 0;
  for (const auto& name : rootSubcommands) {
    std::size_t found = help.find("\n  " + name + " ", at);
    ASSERT_NE(found, std::string::npos) << name;
    at = found;
  }
  EXPECT_NE(help.find("  See 'tavractl help <subcommand>' for detailed help.\n"),
            std::string::npos);
  EXPECT_NE(help.find("  --version               Show the version.\n"), std::string::npos);
}

// ---- The conventions of one invocation --------------------------------------------------------

struct InvocationCase {
  std::string name;
  std::vector<std::string> words;
  int status;
  std::string outputStart;  // what standard output begins with
  std::string errors;       // the whole standard error
};

void PrintTo(const InvocationCase& c, std::ostream* out) {
  *out << c.name;
}

class InvocationTest : public ::testing::TestWithParam<InvocationCase> {};

TEST_P(InvocationTest, PrintsAndEndsAsExpected) {
  const InvocationCase& c = GetParam();
  FakeContext fake;
  ToolResult result = fake.run(c.words);
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.output.substr(0, c.outputStart.size()), c.outputStart);
  if (c.outputStart.empty()) {
    EXPECT_EQ(result.output, "");
  }
  EXPECT_EQ(result.errors, c.errors);
}

const std::string statusUsage =
    "Usage: tavractl status [--json] [--check] [--line] [--file <file>]\n"
    "  See 'tavractl status --help' for more information.\n";
const std::string rootUsage =
    "Usage: tavractl <subcommand>\n  See 'tavractl --help' for more information.\n";

INSTANTIATE_TEST_SUITE_P(
    Conventions, InvocationTest,
    ::testing::Values(
        InvocationCase{"NoWordsShowsTheHelp", {}, 0, "OVERVIEW: Inspect and administer Tavra", ""},
        InvocationCase{"CatalogAloneShowsItsHelp",
                       {"catalog"},
                       0,
                       "OVERVIEW: Sign, verify and install vendor catalogs.\n",
                       ""},
        InvocationCase{"Version", {"--version"}, 0, "0.2.1\n", ""},
        InvocationCase{"SubcommandHasNoVersion",
                       {"status", "--version"},
                       64,
                       "",
                       "Error: argument 2 is an unknown option\n" + statusUsage},
        InvocationCase{"LongHelp", {"status", "--help"}, 0, "OVERVIEW: Show the result", ""},
        InvocationCase{"ShortHelp", {"apply", "-h"}, 0, "OVERVIEW: Ask the daemon", ""},
        InvocationCase{"HelpSubcommand", {"help", "simulate"}, 0, "OVERVIEW: Run a complete", ""},
        InvocationCase{"HelpOfANestedCommand",
                       {"help", "catalog", "sign"},
                       0,
                       "OVERVIEW: Sign catalog.json, writing catalog.json.sig.\n",
                       ""},
        InvocationCase{"HelpWithoutWordsIsTheRootHelp", {"help"}, 0, "OVERVIEW: Inspect", ""},
        InvocationCase{"HelpOfAnUnknownCommand",
                       {"help", "bogus"},
                       64,
                       "",
                       "Error: argument 2 is not a subcommand\n"
                       "Usage: tavractl help [<subcommands> ...]\n"
                       "  See 'tavractl help --help' for more information.\n"},
        InvocationCase{
            "UnknownCommand", {"bogus"}, 64, "", "Error: argument 1 is unexpected\n" + rootUsage},
        InvocationCase{"UnknownOption",
                       {"status", "--bogus"},
                       64,
                       "",
                       "Error: argument 2 is an unknown option\n" + statusUsage},
        InvocationCase{"NoShortNamesForMembers",
                       {"status", "-j"},
                       64,
                       "",
                       "Error: argument 2 is an unknown option\n" + statusUsage},
        InvocationCase{"UnexpectedPositional",
                       {"status", "extra"},
                       64,
                       "",
                       "Error: argument 2 is unexpected\n" + statusUsage},
        InvocationCase{"OptionWithoutItsValue",
                       {"status", "--file"},
                       64,
                       "",
                       "Error: Missing value for '--file <file>'\n" + statusUsage},
        InvocationCase{"MissingRequiredOption",
                       {"simulate", "a.json", "--out", "o"},
                       64,
                       "",
                       "Error: Missing expected argument '--catalog <catalog>'\n"
                       "Usage: tavractl simulate <paths> ... --catalog <catalog> --out <out> "
                       "[--key <key>]\n"
                       "  See 'tavractl simulate --help' for more information.\n"},
        InvocationCase{"MissingPositional",
                       {"validate"},
                       64,
                       "",
                       "Error: Missing expected argument '<paths> ...'\n"
                       "Usage: tavractl validate <paths> ... [--catalog <catalog>]\n"
                       "  See 'tavractl validate --help' for more information.\n"},
        InvocationCase{"ArgumentNotUTF8",
                       {"status", "--file", "caf\xE9"},
                       64,
                       "",
                       "Error: argument 3 (the value of --file) is not valid UTF-8\n" + rootUsage},
        InvocationCase{"UnknownCompletionShell",
                       {"--generate-completion-script", "tcsh"},
                       64,
                       "",
                       "Error: argument 2 (the value of --generate-completion-script) is not a "
                       "shell with completions (bash, zsh, fish)\n" +
                           rootUsage},
        InvocationCase{
            "CompletionScriptWithoutItsShell",
            {"--generate-completion-script"},
            64,
            "",
            "Error: Missing value for '--generate-completion-script <shell>'\n" + rootUsage},
        InvocationCase{"WordsAfterTheEndOfOptions",
                       {"--", "status"},
                       64,
                       "",
                       "Error: argument 2 is unexpected\n" + rootUsage}),
    [](const ::testing::TestParamInfo<InvocationCase>& test) { return test.param.name; });

// A refused invocation: status 64, nothing printed, and "Error: <message>" as the first line of
// the errors (the usage follows).
ToolResult expectUsageError(const std::vector<std::string>& words, const std::string& message) {
  FakeContext fake;
  ToolResult result = fake.run(words);
  EXPECT_EQ(result.status, 64);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.errors.substr(0, result.errors.find('\n')), "Error: " + message);
  return result;
}

// A flag is given or not: a value joined to it is refused, so that "--check=false" cannot
// quietly switch the check off.
TEST(InvocationTest, AFlagGivenAValueIsRefused) {
  struct Case {
    std::vector<std::string> words;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {{"status", "--check=false", "--line"},
            "argument 2 gives a flag a value it cannot take"},
           {{"status", "--line", "--check=0"}, "argument 3 gives a flag a value it cannot take"},
           {{"status", "--json=1"}, "argument 2 gives a flag a value it cannot take"},
           {{"discover", "--all=no"}, "argument 2 gives a flag a value it cannot take"},
           {{"apply", "--local=false"}, "argument 2 gives a flag a value it cannot take"},
           {{"profile", "in.json", "--settings=off"},
            "argument 3 gives a flag a value it cannot take"},
           {{"--experimental-dump-help=0"}, "argument 1 gives a flag a value it cannot take"},
           {{"status", "--line=true", "--check"}, "argument 2 gives a flag a value it cannot take"},
           {{"status", "--line", "--check=yes"}, "argument 3 gives a flag a value it cannot take"},
       }) {
    SCOPED_TRACE(c.words.back());
    expectUsageError(c.words, c.message);
  }
  // The bare flag is the flag given; an option's value may still hold "=", and the word after
  // an option is its value whatever it looks like.
  FakeContext fake;
  EXPECT_EQ(fake.run({"status", "--line", "--check"}).status, 1);
  EXPECT_EQ(fake.run({"status", "--line", "--file=a=b"}).output, "no-status\n");
  EXPECT_EQ(fake.run({"status", "--line", "--file", "--check=false"}).output, "no-status\n");
}

TEST(InvocationTest, APositionalThatIsACommandNameStaysAPositional) {
  FakeContext fake;
  const crypto::P256PrivateKey key = crypto::P256PrivateKey::generate();
  // "status" is the secret here, not the status command.
  ToolResult result =
      fake.run({"encrypt", "--public-key", base64::encode(key.publicKey().x963()), "status"});
  EXPECT_EQ(result.errors, "");
  ASSERT_TRUE(result.output.ends_with("\n")) << result.output;
  result.output.pop_back();
  EXPECT_EQ(SecretEnvelope::decrypt(result.output, InMemoryKeyProvider({key})), "status");
}

TEST(InvocationTest, AfterTheEndOfOptionsEveryWordIsAPositional) {
  FakeContext fake;
  const crypto::P256PrivateKey key = crypto::P256PrivateKey::generate();
  const std::string publicKey = base64::encode(key.publicKey().x963());
  for (const std::string secret :
       {"plain", "-starts-with-a-dash", "--looks-like-an-option", "--help=no"}) {
    ToolResult result = fake.run({"encrypt", "--public-key", publicKey, "--", secret});
    EXPECT_EQ(result.status, 0) << secret;
    EXPECT_EQ(result.errors, "") << secret;
    ASSERT_TRUE(result.output.ends_with("\n")) << result.output;
    result.output.pop_back();
    EXPECT_EQ(SecretEnvelope::decrypt(result.output, InMemoryKeyProvider({key})), secret);
  }
  // Words that no positional takes are still refused.
  ToolResult extra = fake.run({"encrypt", "--public-key", publicKey, "--", "one", "two"});
  EXPECT_EQ(extra.status, 64);
  EXPECT_EQ(extra.errors.substr(0, extra.errors.find('\n')), "Error: argument 6 is unexpected");
  ToolResult none = fake.run({"status", "--", "x"});
  EXPECT_EQ(none.status, 64);
  EXPECT_EQ(none.errors.substr(0, none.errors.find('\n')), "Error: argument 3 is unexpected");
}

TEST(InvocationTest, AFragmentPathThatStartsWithADashFollowsTheEndOfOptions) {
  FakeContext fake;
  ToolResult result = fake.run({"validate", "--", "-missing.json"});
  EXPECT_EQ(result.status, 64);
  EXPECT_EQ(result.errors.substr(0, result.errors.find('\n')), "Error: -missing.json not found");
}

// A word the tool refuses may be a secret typed where a value goes; the message names the word
// by its place (and by the option it is the value of), for every command alike, and never
// quotes it, not even in part.
TEST(InvocationTest, ARefusedWordIsNamedByItsPlaceAndNeverQuoted) {
  const std::string secret = "S3CRET";
  const std::string notUTF8 = secret + "\xE4";
  struct Case {
    std::vector<std::string> words;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {{"encrypt", "--cert", "c.pem", notUTF8}, "argument 4 is not valid UTF-8"},
           {{"encrypt", "--public-key", notUTF8},
            "argument 3 (the value of --public-key) is not valid UTF-8"},
           {{"encrypt", "--public-key=" + notUTF8},
            "argument 2 (the value of --public-key) is not valid UTF-8"},
           {{"decrypt", "--key", "k.pem", notUTF8}, "argument 4 is not valid UTF-8"},
           {{"profile", "in.json", "--name", notUTF8},
            "argument 4 (the value of --name) is not valid UTF-8"},
           {{"simulate", "a.json", notUTF8, "--catalog", "c.json", "--out", "o"},
            "argument 3 is not valid UTF-8"},
           {{"catalog", "sign", notUTF8, "--key", "k"}, "argument 3 is not valid UTF-8"},
           {{"status", "--file", "report.json", "--json", notUTF8},
            "argument 5 is not valid UTF-8"},
           // A secret of several words, given unquoted: the second one is left over.
           {{"encrypt", "--public-key", "k", "correct", secret}, "argument 5 is unexpected"},
           // The same word twice: the second is the one refused.
           {{"encrypt", secret, secret}, "argument 3 is unexpected"},
           {{"encrypt", "--public-key", "k", "--", "one", secret}, "argument 6 is unexpected"},
           {{"encrypt", "--public-key", "k", "--" + secret}, "argument 4 is an unknown option"},
           {{"encrypt", "--public-key", "k", "-" + secret}, "argument 4 is an unknown option"},
           {{"status", "--json=" + secret}, "argument 2 gives a flag a value it cannot take"},
           {{"--experimental-dump-help=" + secret},
            "argument 1 gives a flag a value it cannot take"},
           {{secret}, "argument 1 is unexpected"},
           {{"catalog", secret}, "argument 2 is unexpected"},
           {{"help", "catalog", secret}, "argument 3 is not a subcommand"},
           {{"--generate-completion-script", secret},
            "argument 2 (the value of --generate-completion-script) is not a shell with "
            "completions (bash, zsh, fish)"},
       }) {
    SCOPED_TRACE(c.words.back());
    const ToolResult result = expectUsageError(c.words, c.message);
    EXPECT_EQ(result.errors.find("S3"), std::string::npos) << result.errors;
  }
}

}  // namespace
}  // namespace tavra::test
