// `status`: its three forms and its check, driven in-process with a fixed clock.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "fake_context.h"
#include "support/temp_tree.h"

namespace tavra::test {
namespace {

using namespace std::chrono_literals;

StatusReport::HarnessStatus harness(std::string id, std::string state,
                                    std::vector<std::string> errors = {}) {
  StatusReport::HarnessStatus status;
  status.id = std::move(id);
  status.state = OpenEnum<StatusReport::HarnessState>::fromText(state);
  status.errors = std::move(errors);
  return status;
}

class StatusTest : public ::testing::Test {
 protected:
  StatusTest() { fake.context.statusPath = tree.path("status.json"); }

  void write(const StatusReport& report) { tree.write("status.json", report.encode()); }

  StatusReport report(StatusReport::Health health = StatusReport::Health::ok) {
    StatusReport r;
    r.timestamp = fake.now - 59s;
    r.health = health;
    r.catalogVersion = "1.2";
    return r;
  }

  TempTree tree;
  FakeContext fake;
};

TEST_F(StatusTest, LineCountsWholeMinutesTowardZero) {
  struct Case {
    std::chrono::seconds age;
    std::string text;
  };
  for (const auto& c : std::vector<Case>{
           {59s, "0m"}, {61min, "61m"}, {61min + 59s, "61m"}, {-30s, "0m"}, {-90s, "-1m"}}) {
    StatusReport r = report();
    r.timestamp = fake.now - c.age;
    write(r);
    EXPECT_EQ(fake.run({"status", "--line"}).output,
              "ok | catalog 1.2 | managed none | last run " + c.text + " ago\n");
  }
}

// Status files may carry any date their format can hold; centuries away the minutes are still
// counted exactly, in whole seconds, and not in the clock's finer unit, which overflows there.
TEST_F(StatusTest, LineCountsMinutesToDatesCenturiesAway) {
  using namespace std::chrono;
  struct Case {
    std::string timestamp;
    Date now;
  };
  const Date farFuture = Date(floor<seconds>(Date::max()).time_since_epoch());
  for (const auto& c : std::vector<Case>{{"1678-01-01T00:00:00Z", fake.now},
                                         {"2262-04-01T00:00:00Z", fake.now},
                                         {"1678-01-01T00:00:00Z", farFuture}}) {
    std::string bytes = report().encode();
    const std::string written = iso8601(report().timestamp);
    bytes.replace(bytes.find(written), written.size(), c.timestamp);
    tree.write("status.json", bytes);
    fake.now = c.now;
    const auto when = parseISO8601Seconds(c.timestamp);
    ASSERT_TRUE(when);
    const std::int64_t minutes =
        (floor<seconds>(c.now).time_since_epoch().count() - when->time_since_epoch().count()) / 60;
    EXPECT_EQ(fake.run({"status", "--line"}).output,
              "ok | catalog 1.2 | managed none | last run " + std::to_string(minutes) + "m ago\n")
        << c.timestamp;
  }
}

TEST_F(StatusTest, LineNamesManagedHarnessesAndProblemsInReportOrder) {
  StatusReport r = report(StatusReport::Health::degraded);
  r.catalogVersion.reset();
  r.harnesses = {harness("b", "managed"), harness("x", "error"), harness("a", "managed"),
                 harness("y", "degraded"), harness("z", "disabled")};
  write(r);
  EXPECT_EQ(
      fake.run({"status", "--line"}).output,
      "degraded | catalog none | managed b,a | last run 0m ago | problems x:error,y:degraded\n");
}

TEST_F(StatusTest, WithoutAReport) {
  struct Case {
    std::vector<std::string> words;
    int status;
    std::string output;
    std::string errorStart;
  };
  const std::string noStatus =
      "Error: no status yet; is tavrad running? (sudo launchctl print "
      "system/com.zelkorandin.tavra.daemon)\n";
  for (const auto& c : std::vector<Case>{{{"status", "--line"}, 0, "no-status\n", ""},
                                         {{"status", "--line", "--check"}, 1, "no-status\n", ""},
                                         {{"status", "--json"}, 64, "", noStatus},
                                         {{"status", "--json", "--line"}, 0, "no-status\n", ""},
                                         {{"status"}, 64, "", noStatus},
                                         {{"status", "--check"}, 64, "", noStatus}}) {
    ToolResult result = fake.run(c.words);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.output, c.output);
    EXPECT_EQ(result.errors.substr(0, c.errorStart.size()), c.errorStart);
    EXPECT_EQ(result.errors.empty(), c.errorStart.empty());
  }
}

TEST_F(StatusTest, AnUnusableFileCountsAsNoReport) {
  tree.mkdir("folder");
  tree.write("empty", "");
  tree.write("binary", std::string("\x00\xFF\x01", 3));
  tree.write("other.json", R"({"health":"ok"})");
  for (const std::string name : {"folder", "empty", "binary", "other.json", "missing"}) {
    ToolResult result = fake.run({"status", "--line", "--file", tree.path(name)});
    EXPECT_EQ(result.output, "no-status\n") << name;
    EXPECT_EQ(result.status, 0) << name;
  }
}

// The report named with --file may come down a pipe, as from a support case (ssh mac cat ... |);
// the daemon's own report is a regular file or nothing, so a FIFO in its place never blocks.
TEST_F(StatusTest, AReportNamedWithFileIsReadFromAPipe) {
  StatusReport r = report(StatusReport::Health::degraded);
  r.harnesses = {harness("codex", "managed")};
  const std::string fifo = tree.path("report.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << r.encode(); });
  ToolResult result = fake.run({"status", "--line", "--file", fifo});
  writer.join();
  EXPECT_EQ(result.output, "degraded | catalog 1.2 | managed codex | last run 0m ago\n");
  EXPECT_EQ(result.status, 0);

  ASSERT_EQ(mkfifo(fake.context.statusPath.c_str(), 0600), 0);
  result = fake.run({"status", "--line"});
  EXPECT_EQ(result.output, "no-status\n");
}

// A state this version does not know is a state like any other: shown as it is in every form,
// neither managed nor a problem.
TEST_F(StatusTest, AStateTheToolDoesNotKnowIsShownAsItIs) {
  StatusReport r = report();
  r.harnesses = {harness("codex", "quarantined"), harness("opencode", "managed")};
  r.harnesses[0].fragments = {"base"};
  write(r);
  EXPECT_EQ(fake.run({"status"}).output, "Tavra 0.2.1 \u2014 last run date " +
                                             iso8601(r.timestamp) +
                                             "\n"
                                             "Health: ok\nCatalog: 1.2\nFragments: none\n\n"
                                             "codex: quarantined [base]\n"
                                             "opencode: managed []\n");
  EXPECT_EQ(fake.run({"status", "--line"}).output,
            "ok | catalog 1.2 | managed opencode | last run 0m ago\n");
  const ToolResult json = fake.run({"status", "--json"});
  EXPECT_NE(json.output.find("\"state\" : \"quarantined\""), std::string::npos) << json.output;
  EXPECT_EQ(StatusReport::decode(json.output), r);
}

TEST_F(StatusTest, FileOverridesTheDaemonsReport) {
  StatusReport r = report();
  r.catalogVersion = "9.9";
  tree.write("elsewhere.json", r.encode());
  ToolResult result = fake.run({"status", "--line", "--file", tree.path("elsewhere.json")});
  EXPECT_EQ(result.output, "ok | catalog 9.9 | managed none | last run 0m ago\n");
}

TEST_F(StatusTest, JsonIgnoresCheckAndLine) {
  write(report(StatusReport::Health::error));
  ToolResult result = fake.run({"status", "--json", "--check", "--line"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output.rfind("{\n  \"catalogVersion\" : \"1.2\",\n", 0), 0u) << result.output;
  EXPECT_EQ(StatusReport::decode(result.output), report(StatusReport::Health::error));
}

TEST_F(StatusTest, CheckFailsAfterTheWholeListingUnlessHealthy) {
  for (auto health :
       {StatusReport::Health::ok, StatusReport::Health::degraded, StatusReport::Health::error}) {
    write(report(health));
    for (const std::string form : {"", "--line"}) {
      std::vector<std::string> words = {"status", "--check"};
      if (!form.empty()) words.push_back(form);
      ToolResult result = fake.run(words);
      EXPECT_EQ(result.status, health == StatusReport::Health::ok ? 0 : 1);
      EXPECT_NE(result.output.find(std::string(rawValue(health))), std::string::npos);
      EXPECT_EQ(result.errors, "");
    }
  }
}

TEST_F(StatusTest, ListingOfAReportWhereNothingIsManaged) {
  StatusReport r = report();
  r.harnesses = {harness("a", "unmanaged"), harness("b", "unmanaged")};
  write(r);
  EXPECT_EQ(fake.run({"status"}).output, "Tavra 0.2.1 \u2014 last run date " +
                                             iso8601(r.timestamp) +
                                             "\n"
                                             "Health: ok\nCatalog: 1.2\nFragments: none\n\n");
}

TEST_F(StatusTest, ListingShowsAnUnmanagedHarnessWithErrorsAndReportErrors) {
  StatusReport r = report(StatusReport::Health::degraded);
  r.harnesses = {harness("a", "unmanaged", {"broken"})};
  r.errors = {"/x: failed"};
  write(r);
  EXPECT_EQ(fake.run({"status"}).output, "Tavra 0.2.1 \u2014 last run date " +
                                             iso8601(r.timestamp) +
                                             "\n"
                                             "Health: degraded\nCatalog: 1.2\nFragments: none\n\n"
                                             "a: unmanaged []\n    \u2717 broken\n"
                                             "\u2717 /x: failed\n");
}

// A fragment may name itself with an empty PolicyID; its empty id still takes its place in
// every list.
TEST_F(StatusTest, AnEmptyIdKeepsItsPlaceInTheLists) {
  StatusReport r = report(StatusReport::Health::degraded);
  r.fragments = {"", "team"};
  r.harnesses = {harness("", "managed"), harness("a", "managed"), harness("", "error")};
  r.harnesses[1].fragments = {"", "team"};
  write(r);
  EXPECT_EQ(fake.run({"status"}).output, "Tavra 0.2.1 \u2014 last run date " +
                                             iso8601(r.timestamp) +
                                             "\n"
                                             "Health: degraded\nCatalog: 1.2\nFragments: , team\n\n"
                                             ": managed []\n"
                                             "a: managed [, team]\n"
                                             ": error []\n");
  EXPECT_EQ(fake.run({"status", "--line"}).output,
            "degraded | catalog 1.2 | managed ,a | last run 0m ago | problems :error\n");
}

}  // namespace
}  // namespace tavra::test
