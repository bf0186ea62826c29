// The tool's text for people reaches the terminal with its control characters spelled out,
// whichever command printed it; output for programs goes out as it is.
#include "terminal_text.h"

#include <gtest/gtest.h>

#include <sstream>

#include "fake_context.h"
#include "support/services.h"
#include "support/temp_tree.h"
#include "tavra/platform/crypto.h"
#include "tavra/secret_envelope.h"
#include "tool_fixtures.h"

namespace tavra::test {
namespace {

using ctl::TerminalText;

// What `pieces` become when written one after the other through the escaping.
std::string escaped(const std::vector<std::string>& pieces) {
  std::ostringstream out;
  {
    const TerminalText text(out);
    for (const std::string& piece : pieces) out << piece;
  }
  return out.str();
}

TEST(TerminalTextTest, ControlCharactersAreSpelledOut) {
  struct Case {
    std::vector<std::string> pieces;
    std::string shown;
  };
  for (const Case& c : std::vector<Case>{
           {{"plain text, caf\u00e9 \u2014 \u2713\n"}, "plain text, caf\u00e9 \u2014 \u2713\n"},
           {{"tab\tand line feed\n"}, "tab\tand line feed\n"},
           {{"\x1b[2J\x1b]0;title\x07"}, "\\u{1b}[2J\\u{1b}]0;title\\u{7}"},
           {{std::string("nul\0cr\rdel\x7f", 11)}, "nul\\u{0}cr\\u{d}del\\u{7f}"},
           {{"csi \xC2\x9B"
             "31m, nel \xC2\x85, nbsp \xC2\xA0"},
            "csi \\u{9b}31m, nel \\u{85}, nbsp \xC2\xA0"},
           // A C1 control split between two writes is still one control.
           {{"a\xC2",
             "\x9B"
             "b"},
            "a\\u{9b}b"},
           {{"a\xC2", "\xA9"}, "a\xC2\xA9"},
           {{"a\xC2", "\x1b"}, "a\xC2\\u{1b}"},
           {{"end\xC2"}, "end\xC2"},
           {{"\xC2\xC2\x9B"}, "\xC2\\u{9b}"},
       }) {
    EXPECT_EQ(escaped(c.pieces), c.shown) << c.shown;
  }
}

TEST(TerminalTextTest, VerbatimOutputPassesUnchangedAndInOrder) {
  std::ostringstream out;
  {
    const TerminalText text(out);
    out << "\x1b"
        << "a\xC2";
    ctl::writeVerbatim(out, "\x1b\t\x7f\xC2\x9B");
    out << "\x07";
  }
  EXPECT_EQ(out.str(), "\\u{1b}a\xC2\x1b\t\x7f\xC2\x9B\\u{7}");
  // Without the escaping in place the bytes are written all the same.
  std::ostringstream plain;
  ctl::writeVerbatim(plain, "\x1b");
  EXPECT_EQ(plain.str(), "\x1b");
}

TEST(TerminalTextTest, TheStreamIsGivenBackAsItWas) {
  std::ostringstream out;
  std::streambuf* original = out.rdbuf();
  out.setstate(std::ios::failbit);
  {
    const TerminalText text(out);
    EXPECT_TRUE(out.fail());
    out.clear();
    out << "\x1b";
  }
  EXPECT_EQ(out.rdbuf(), original);
  EXPECT_EQ(out.str(), "\\u{1b}");
}

// Every command that prints for people: ids, names, paths and messages from files and words
// reach the terminal with their control characters spelled out, on standard output and standard
// error alike.
class CommandOutputTest : public ::testing::Test {
 protected:
  // A catalog whose first harness's display name and the fragments' ids carry escape sequences.
  CommandOutputTest() {
    std::string catalog = toolCatalogJSON();
    catalog.replace(catalog.find("Alpha Code"), 10, R"(Alpha\u001b[31m Code)");
    catalog.replace(catalog.find(R"("vendor":"Example","status":"supported","outputs":[)"), 0,
                    R"("detect":{"processNames":["alpha"]},)");
    catalogPath = tree.write("catalog.json", catalog);
    fragment =
        tree.write("fragment.json", fragmentJSON(R"(team\u001b]0;owned\u0007)", 5,
                                                 R"({"alpha":{"settings":{"m":1},"nope":{}}})"));
    fake.context.makeDiscovery = [] {
      return Discovery(test::files(), test::processTable(), std::vector<Discovery::LocalUser>{},
                       std::vector<std::string>{});
    };
  }

  TempTree tree;
  FakeContext fake;
  std::string catalogPath;
  std::string fragment;
};

TEST_F(CommandOutputTest, NoCommandPrintsARawControlCharacter) {
  StatusReport report;
  report.timestamp = fake.now;
  report.catalogVersion = "1.0\x1b[8m";
  report.harnesses = {{"codex\x1b[2J", StatusReport::HarnessState::managed, {}, {}, {}, {}}};
  report.errors = {
      "/etc/\xC2\x9B"
      "31m: io: cannot write"};
  fake.context.statusPath = tree.write("status.json", report.encode());
  fake.context.localPass = [report] { return report; };
  const std::string bad = tree.write("bad\x1b[2J.json", "{");

  struct Case {
    std::vector<std::string> words;
    std::string shown;  // a part of the output, spelled out
  };
  for (const Case& c : std::vector<Case>{
           {{"validate", "--catalog", catalogPath, fragment},
            "team\\u{1b}]0;owned\\u{7}: unknown output alpha.nope"},
           {{"validate", "--catalog", catalogPath, bad}, "bad\\u{1b}[2J.json: invalid JSON"},
           {{"status"}, "codex\\u{1b}[2J: managed []\n"},
           {{"status", "--line"}, "catalog 1.0\\u{1b}[8m | managed codex\\u{1b}[2J"},
           {{"preview", "--catalog", catalogPath, fragment},
            "Fragments (highest priority first): team\\u{1b}]0;owned\\u{7}=5"},
           {{"preview", "--catalog", catalogPath, fragment}, "\u2500\u2500 Alpha\\u{1b}[31m Code"},
           {{"discover", "--catalog", catalogPath, "--all"}, "alpha (Alpha\\u{1b}[31m Code)"},
           {{"apply", "--local"}, "\u2717 /etc/\\u{9b}31m: io: cannot write\n"},
           {{"simulate", "--catalog", catalogPath, "--out", tree.path("out"), bad},
            "\u2717 " + tree.path("bad\\u{1b}[2J.json")},
       }) {
    const ToolResult result = fake.run(c.words);
    SCOPED_TRACE(c.words.front());
    EXPECT_EQ(result.output.find_first_of("\x1b\x07"), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("\xC2\x9B"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find(c.shown), std::string::npos) << result.output << result.errors;
  }

  // A message on standard error, quoting a path from the words.
  const std::string missing = tree.path("no\x1b[2J.json");
  const ToolResult error = fake.run({"validate", "--catalog", missing, fragment});
  EXPECT_EQ(error.status, 64);
  EXPECT_TRUE(error.errors.starts_with("Error: cannot read " + tree.path("no\\u{1b}[2J.json\n")))
      << error.errors;
}

TEST_F(CommandOutputTest, OutputForProgramsIsLeftAsItIs) {
  StatusReport report;
  report.timestamp = fake.now;
  report.harnesses = {
      {"codex\x1b\x7f\xC2\x9B", StatusReport::HarnessState::managed, {}, {}, {}, {}}};
  fake.context.statusPath = tree.write("status.json", report.encode());
  const ToolResult json = fake.run({"status", "--json"});
  EXPECT_NE(json.output.find("\"codex\\u001b\x7f\xC2\x9B\""), std::string::npos) << json.output;
  EXPECT_EQ(StatusReport::decode(json.output), report);

  const crypto::P256PrivateKey key = crypto::P256PrivateKey::generate();
  const std::string keyFile = tree.write("org.key.pem", key.pem(), 0600);
  const std::string secret =
      "s\x1b[2Je\tc\x7fr\xC2\x9B"
      "et";
  const ToolResult opened = fake.run(
      {"decrypt", "--key", keyFile, SecretEnvelope::encrypt(secret, key.publicKey().x963())});
  EXPECT_EQ(opened.status, 0) << opened.errors;
  EXPECT_EQ(opened.output, secret + "\n");
}

}  // namespace
}  // namespace tavra::test
