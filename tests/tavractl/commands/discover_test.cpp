// `discover` over a user tree and process table of the test's own making, and on this machine's
// real process table.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include "fake_context.h"
#include "support/catalog_fixtures.h"
#include "support/child_process.h"
#include "support/services.h"
#include "support/temp_tree.h"
#include "tool_process.h"

namespace tavra::test {
namespace {

// A harness shown as `name`, with one output, found by `detect`.
Harness harness(const std::string& id, const std::string& name, std::optional<Detection> detect,
                Harness::Status status = Harness::Status::supported) {
  Harness h = test::harness(id, {output("config", "/etc/" + id + "/config.json")}, status);
  h.displayName = name;
  h.detect = std::move(detect);
  return h;
}

Detection detection(std::vector<std::string> executables, std::vector<std::string> processNames,
                    std::vector<std::string> userConfigs = {}) {
  Detection d;
  d.executables = std::move(executables);
  d.processNames = std::move(processNames);
  d.userConfigPaths = std::move(userConfigs);
  return d;
}

class DiscoverTest : public ::testing::Test {
 protected:
  DiscoverTest() {
    tree.write("opt/codex/package.json", R"({"version":"1.2.3"})");
    tree.write("opt/codex/bin/codex", "#!/bin/sh\n", 0755);
    tree.write("Users/alice/.codex/config.toml", "");
    tree.write("Users/bob/.gemini/settings.json", "");
    const std::string users = tree.path("Users");
    Catalog catalog{2, "1.0", {}};
    catalog.harnesses = {
        harness("codex", "Codex CLI",
                detection({tree.path("opt/codex/bin/codex")}, {"codex"}, {"~/.codex/config.toml"})),
        harness("claude-code", "Claude Code", detection({}, {"claude"})),
        harness("gemini-cli", "Gemini CLI", detection({}, {"gemini"}, {"~/.gemini/settings.json"})),
        harness("desktop", "Desktop App", detection({}, {"Desktop"}), Harness::Status::planned),
        harness("hidden", "No Detection", std::nullopt),
    };
    catalogPath = tree.write("catalog.json", catalog.encode());

    fake.context.statusPath = tree.path("status.json");
    fake.context.makeDiscovery = [this, users] {
      return Discovery(test::files(), test::processTable(processes),
                       std::vector<Discovery::LocalUser>{{"alice", 501, users + "/alice"},
                                                         {"bob", 502, users + "/bob"}},
                       std::vector<std::string>{});
    };
  }

  void manage(const std::vector<std::string>& ids) {
    StatusReport report;
    for (const auto& id : ids) {
      report.harnesses.push_back({id, StatusReport::HarnessState::managed, {}, {}, {}, {}});
    }
    report.harnesses.push_back(
        {"gemini-cli", StatusReport::HarnessState::degraded, {}, {}, {}, {}});
    tree.write("status.json", report.encode());
  }

  ToolResult discover(std::vector<std::string> words) {
    words.insert(words.begin(), {"discover", "--catalog", catalogPath});
    return fake.run(words);
  }

  TempTree tree;
  FakeContext fake;
  std::string catalogPath;
  std::vector<Discovery::RunningProcess> processes;
};

TEST_F(DiscoverTest, ListingGroupsProcessesByUserAndExecutable) {
  const std::string codex = tree.path("opt/codex/bin/codex");
  processes = {{101, "alice", codex},
               {102, "bob", "/usr/bin/claude"},
               {103, "alice", codex},
               {104, "bob", codex},
               {105, "alice", "/usr/bin/claude"}};
  manage({"codex"});
  ToolResult result = discover({});
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(result.output,
            "codex (Codex CLI) \u2014 installed, running, managed by Tavra\n"
            "    executable: " +
                codex +
                " v1.2.3\n"
                "    2 processes (alice): " +
                codex +
                "\n"
                "    pid 104 (bob): " +
                codex +
                "\n"
                "    user config: " +
                tree.path("Users/alice/.codex/config.toml") +
                "\n"
                "claude-code (Claude Code) \u2014 not installed, running, unmanaged\n"
                "    pid 102 (bob): /usr/bin/claude\n"
                "    pid 105 (alice): /usr/bin/claude\n"
                "gemini-cli (Gemini CLI) \u2014 not installed, unmanaged\n"
                "    user config: " +
                tree.path("Users/bob/.gemini/settings.json") + "\n");
}

TEST_F(DiscoverTest, AllKeepsWhatWasNotFoundAndMarksPlannedHarnesses) {
  ToolResult result = discover({"--all"});
  EXPECT_NE(result.output.find("desktop (Desktop App) \u2014 not installed, unmanaged, planned\n"),
            std::string::npos)
      << result.output;
  EXPECT_EQ(result.output.find("hidden"), std::string::npos);
}

TEST_F(DiscoverTest, NothingFound) {
  tree.write("empty.json", Catalog{2, "1.0", {}}.encode());
  EXPECT_EQ(fake.run({"discover", "--catalog", tree.path("empty.json")}).output,
            "No known agent harnesses found.\n");
}

TEST_F(DiscoverTest, LineHoldsInstalledOrRunningEntriesOnly) {
  processes = {{7, "bob", "/usr/bin/claude"}};
  manage({"codex", "claude-code"});
  EXPECT_EQ(discover({"--line"}).output, "codex[managed], claude-code[managed,running]\n");
  EXPECT_EQ(discover({"--line", "--unmanaged-only"}).output, "none\n");
  manage({"codex"});
  EXPECT_EQ(discover({"--line", "--unmanaged-only", "--all"}).output,
            "claude-code[unmanaged,running]\n");
  // Without --line, --unmanaged-only changes nothing.
  EXPECT_EQ(discover({"--unmanaged-only"}).output, discover({}).output);
}

TEST_F(DiscoverTest, LineIsNoneWhenNothingIsInstalledOrRunning) {
  std::filesystem::remove(tree.path("opt/codex/bin/codex"));
  EXPECT_EQ(discover({"--line"}).output, "none\n");
  EXPECT_EQ(discover({"--line", "--all"}).output, "none\n");
}

TEST_F(DiscoverTest, ABrokenStatusReportOnlyEmptiesTheManagedSet) {
  tree.write("status.json", "{ not json");
  EXPECT_EQ(discover({"--line"}).output, "codex[unmanaged]\n");
}

// A harness state or installation kind the tool does not know leaves the rest of the report
// usable: the harnesses it calls managed stay managed.
TEST_F(DiscoverTest, AReportWithStatesAndKindsTheToolDoesNotKnowStillNamesTheManaged) {
  StatusReport report;
  report.harnesses = {
      {"gemini-cli", OpenEnum<StatusReport::HarnessState>::fromText("quarantined"), {}, {}, {}, {}},
      {"codex", StatusReport::HarnessState::managed, {}, {}, {}, {}}};
  Discovery::HarnessInventory entry;
  entry.id = "codex";
  entry.installations = {{"/opt/codex.pkg", std::nullopt, std::nullopt,
                          OpenEnum<Discovery::Installation::Kind>::fromText("pkg")}};
  report.inventory = std::vector<Discovery::HarnessInventory>{entry};
  tree.write("status.json", report.encode());
  EXPECT_EQ(discover({"--line"}).output, "codex[managed]\n");
}

TEST_F(DiscoverTest, JsonIsTheKeptInventory) {
  processes = {{7, "bob", "/usr/bin/claude"}};
  ToolResult result = discover({"--json"});
  Value printed = Value::parseJSON(result.output);
  ASSERT_TRUE(printed.isArray());
  std::vector<std::string> ids;
  for (const auto& entry : *printed.asArray()) {
    ids.push_back(harnessInventoryFromValue(entry).id);
  }
  EXPECT_EQ(ids, (std::vector<std::string>{"codex", "claude-code", "gemini-cli"}));
  EXPECT_EQ(result.output.find("\\/"), std::string::npos);
}

TEST_F(DiscoverTest, CatalogProblemsAreReported) {
  ToolResult missing = fake.run({"discover", "--catalog", tree.path("nope.json")});
  EXPECT_EQ(missing.status, 64);
  EXPECT_EQ(missing.errors.substr(0, missing.errors.find('\n')),
            "Error: cannot read " + tree.path("nope.json"));
  ToolResult none = fake.run({"discover"});
  EXPECT_EQ(none.status, 64);
  EXPECT_EQ(none.errors.substr(0, none.errors.find('\n')),
            "Error: no verified catalog installed; pass --catalog <catalog.json>");
  tree.write("bad.json", R"({"schemaVersion":3,"catalogVersion":"1","harnesses":[]})");
  ToolResult bad = fake.run({"discover", "--catalog", tree.path("bad.json")});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.errors.rfind("Error: catalog: ", 0), 0u) << bad.errors;
}

// The real process table of this machine: a stand-in process is found by its name.
TEST(DiscoverProgramTest, FindsARunningStandInOnThisMachine) {
  TempTree tree;
  const std::string standIn = tree.path("tavra-standin-harness");
  std::filesystem::copy_file("/bin/sleep", standIn);
  ::chmod(standIn.c_str(), 0755);
  Catalog catalog{
      2, "1.0", {harness("standin", "Stand-in", detection({}, {"tavra-standin-harness"}))}};
  const std::string catalogPath = tree.write("catalog.json", catalog.encode());

  BackgroundProcess running({standIn, "600"});
  ASSERT_TRUE(running.running());
  // posix_spawn returns once the child has executed, so the table already shows the stand-in.
  ProcessResult result = runTavractl({"discover", "--catalog", catalogPath, "--line"});
  EXPECT_EQ(result.output, "standin[unmanaged,running]\n");
  ProcessResult listing = runTavractl({"discover", "--catalog", catalogPath});
  EXPECT_NE(listing.output.find("    pid "), std::string::npos) << listing.output;
  // The stand-in runs as whoever runs the tests.
  const passwd* user = ::getpwuid(::geteuid());
  ASSERT_NE(user, nullptr) << "the tests run as a user without an account";
  EXPECT_NE(listing.output.find("(" + std::string(user->pw_name) + "): " + standIn + "\n"),
            std::string::npos)
      << listing.output;
}

}  // namespace
}  // namespace tavra::test
