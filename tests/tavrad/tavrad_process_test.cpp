// The real tavrad binary end to end, with its production paths, in a private root of its own
// (see private_root_daemon.h). Runs as root; skipped where mount namespaces are not available.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>

#include "support/catalog_fixtures.h"
#include "tavra/catalog.h"
#include "tavra/platform/process_table.h"
#include "tavra/plist.h"
#include "tavra/status_report.h"
#include "tavra/value.h"
#include "tavrad/support/private_root_daemon.h"

namespace tavra::test {
namespace {

using namespace std::chrono_literals;
using Level = Logger::Level;
using Line = PrivateRootDaemon::Line;

const std::string claudeSettings = "/Library/Application Support/ClaudeCode/managed-settings.json";
const std::string opencodeConfig = "/Library/Application Support/opencode/opencode.json";
const std::string statusFile = "/Library/Application Support/Tavra/status.json";
const std::string prefs = "/Library/Managed Preferences";

Catalog testCatalog() {
  auto harness = [](std::string id, std::string outputPath) {
    Output output;
    output.id = "settings";
    output.path = std::move(outputPath);
    output.format = Output::Format::json;
    Harness h;
    h.id = id;
    h.displayName = "The " + id;
    h.vendor = "Example";
    h.outputs = {output};
    return h;
  };
  return Catalog{
      2, "1.0", {harness("claude", claudeSettings), harness("opencode", opencodeConfig)}};
}

std::string fragment(const std::string& name, const std::string& harness, Value settings) {
  return plist::writeXML(Value(Value::Object{
      {"PolicyID", name},
      {"Priority", std::int64_t(10)},
      {"Harnesses", Value(Value::Object{{harness, Value(Value::Object{{"settings", settings}})}})},
  }));
}

// A daemon whose managed preferences name a file catalog signed with a throw-away key and one
// fragment for the claude harness.
class TavradProcessTest : public ::testing::Test {
 protected:
  explicit TavradProcessTest(bool asNobody = false) : daemon(asNobody) {}

  void SetUp() override {
    if (daemon.unavailable()) GTEST_SKIP() << "no private root here: " << *daemon.unavailable();
    const std::string catalog = testCatalog().encode();
    daemon.write("/Library/Vendor/catalog.json", catalog);
    daemon.write("/Library/Vendor/catalog.json.sig", key.signatureFile(catalog));
    daemon.write(prefs + "/com.zelkorandin.tavra.plist",
                 plist::writeXML(Value(Value::Object{
                     {"CatalogURL", "file:///Library/Vendor/catalog.json"},
                     {"CatalogTrustedKeys", Value(Value::Array{key.publicBase64()})},
                 })));
    daemon.write(prefs + "/com.zelkorandin.tavra.policy.base.plist",
                 fragment("base", "claude", Value(Value::Object{{"model", "opus"}})));
  }

  // Lines of the daemon's own category.
  std::optional<Line> waitForDaemon(std::string_view text,
                                    std::chrono::milliseconds timeout = 60s) {
    return daemon.waitFor("daemon", text, timeout);
  }
  // The next summary the daemon logs after a run.
  std::optional<Line> waitForRun(std::chrono::milliseconds timeout = 60s) {
    return daemon.waitFor(
        [](const Line& line) {
          return line.category == "daemon" &&
                 (line.text.starts_with("ok;") || line.text.starts_with("degraded;") ||
                  line.text.starts_with("error;"));
        },
        timeout);
  }
  Value output(const std::string& path) const { return Value::parseJSON(daemon.read(path)); }
  void expectExitStatusZero() {
    const int status = daemon.waitForExit();
    ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }

  CatalogSigningKey key;
  PrivateRootDaemon daemon;
};

TEST_F(TavradProcessTest, KeepsTheMachineInLineAndStopsWithStatusZero) {
  daemon.start();
  ASSERT_TRUE(waitForDaemon("tavrad 0.2.1 starting (uid 0)"));
  // The first run finds no catalog installed and downloads one; its arrival causes a run.
  ASSERT_TRUE(waitForDaemon("catalog updated to 1.0"));
  auto summary = waitForRun();
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->text, "ok; catalog 1.0; managed: claude");
  EXPECT_EQ(output(claudeSettings), Value(Value::Object{{"model", "opus"}}));
  const StatusReport report = StatusReport::decode(daemon.read(statusFile));
  EXPECT_EQ(report.health, StatusReport::Health::ok);
  EXPECT_EQ(report.catalogVersion, "1.0");
  EXPECT_TRUE(report.inventory.has_value());
  ASSERT_TRUE(daemon.waitUntilIdle());

  // A hand edit of a managed file is put right after the debounce.
  daemon.write(claudeSettings, R"({"model":"haiku"})");
  ASSERT_TRUE(waitForDaemon("change detected at " + claudeSettings));
  ASSERT_TRUE(daemon.waitFor("reconcile", "driftCorrected " + claudeSettings + " [claude]"));
  ASSERT_TRUE(waitForRun());
  EXPECT_EQ(output(claudeSettings), Value(Value::Object{{"model", "opus"}}));
  ASSERT_TRUE(daemon.waitUntilIdle());

  // A new fragment in the managed preferences is applied.
  daemon.write(prefs + "/com.zelkorandin.tavra.policy.tools.plist",
               fragment("tools", "opencode", Value(Value::Object{{"theme", "dark"}})));
  ASSERT_TRUE(waitForDaemon("change detected at " + prefs));
  ASSERT_TRUE(daemon.waitFor("reconcile", "created " + opencodeConfig + " [opencode]"));
  summary = waitForRun();
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->text, "ok; catalog 1.0; managed: claude,opencode");
  EXPECT_EQ(output(opencodeConfig), Value(Value::Object{{"theme", "dark"}}));

  // SIGHUP re-applies at once and refreshes the catalog.
  daemon.signal(SIGHUP);
  ASSERT_TRUE(waitForDaemon("SIGHUP: re-applying"));
  ASSERT_TRUE(waitForRun());
  ASSERT_TRUE(daemon.waitFor("daemon", "catalog 1.0 is current"));

  daemon.signal(SIGTERM);
  ASSERT_TRUE(waitForDaemon("terminating"));
  expectExitStatusZero();
}

TEST_F(TavradProcessTest, SigintEndsItWithStatusZero) {
  daemon.start();
  ASSERT_TRUE(waitForRun());
  daemon.signal(SIGINT);
  ASSERT_TRUE(waitForDaemon("terminating"));
  expectExitStatusZero();
}

TEST_F(TavradProcessTest, AQuietMinuteHasNoRunThatNoTriggerAskedFor) {
  daemon.start();
  ASSERT_TRUE(waitForDaemon("catalog updated to 1.0"));
  ASSERT_TRUE(waitForRun());
  // Its own writes (outputs, state, status, catalog cache) start nothing further.
  const auto unasked =
      daemon.waitFor([](const Line& line) { return line.category == "daemon"; }, 60s);
  EXPECT_FALSE(unasked) << "unasked: " << unasked->text;
  daemon.signal(SIGTERM);
  expectExitStatusZero();
}

TEST_F(TavradProcessTest, AnUnreachableCatalogAndABadSettingsFileNeverStopIt) {
  daemon.write(prefs + "/com.zelkorandin.tavra.plist", "this is not a property list");
  daemon.start();
  // The settings fall back to defaults: the built-in https catalog, unreachable from here.
  auto summary = waitForRun();
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->text, "error; catalog none; managed: none");
  daemon.signal(SIGHUP);
  ASSERT_TRUE(waitForDaemon("SIGHUP: re-applying"));
  ASSERT_TRUE(waitForRun());
  daemon.signal(SIGTERM);
  ASSERT_TRUE(waitForDaemon("terminating"));
  expectExitStatusZero();
}

TEST_F(TavradProcessTest, IsOutOfReachOfAnApplyRunElsewhereOnThisMachine) {
  // `tavractl apply` signals every process whose executable is named tavrad. Other runs on
  // this machine may use it at any time; their hangups must not reach the daemon under test.
  daemon.start();
  ASSERT_TRUE(waitForRun());
  bool listed = false;
  for (const platform::ProcessInfo& process : platform::listProcesses()) {
    if (process.pid != daemon.pid()) continue;
    listed = true;
    EXPECT_NE(process.path.substr(process.path.rfind('/') + 1), "tavrad") << process.path;
  }
  EXPECT_TRUE(listed);
  daemon.signal(SIGTERM);
  expectExitStatusZero();
}

class TavradAsNobodyTest : public TavradProcessTest {
 protected:
  TavradAsNobodyTest() : TavradProcessTest(/*asNobody=*/true) {}
};

TEST_F(TavradAsNobodyTest, WarnsKeepsRunningAndReportsWriteErrors) {
  // A verified catalog is already installed; the daemon cannot write anything itself.
  const std::string catalog = testCatalog().encode();
  daemon.write("/Library/Application Support/Tavra/catalog/catalog.json", catalog);
  daemon.write("/Library/Application Support/Tavra/catalog/catalog.json.sig",
               key.signatureFile(catalog));
  daemon.start();
  ASSERT_TRUE(waitForDaemon("tavrad 0.2.1 starting (uid 65534)"));
  auto warning = waitForDaemon("tavrad must run as root; outputs will fail");
  ASSERT_TRUE(warning);
  EXPECT_EQ(warning->level, Level::error);

  // The pass reports that it could not write, in its errors and in the summary's health.
  auto writeError = daemon.waitFor([](const Line& line) {
    return line.category == "reconcile" && line.level == Level::error &&
           line.text.find("Permission denied") != std::string::npos;
  });
  ASSERT_TRUE(writeError);
  auto summary = waitForRun();
  ASSERT_TRUE(summary);
  EXPECT_TRUE(summary->text.starts_with("degraded; catalog 1.0;")) << summary->text;
  EXPECT_FALSE(exists(daemon.path(claudeSettings)));

  daemon.signal(SIGHUP);
  ASSERT_TRUE(waitForDaemon("SIGHUP: re-applying"));
  summary = waitForRun();
  ASSERT_TRUE(summary);
  EXPECT_TRUE(summary->text.starts_with("degraded; catalog 1.0;")) << summary->text;

  daemon.signal(SIGTERM);
  expectExitStatusZero();
}

}  // namespace
}  // namespace tavra::test
