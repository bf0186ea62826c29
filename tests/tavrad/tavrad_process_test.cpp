// The real tavrad binary end to end, with its production paths, in a private root of its own
// (see private_root_daemon.h). Runs as root; skipped where mount namespaces are not available.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

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
  return Catalog{2,
                 "1.0",
                 {harness("claude", {output("settings", claudeSettings)}),
                  harness("opencode", {output("settings", opencodeConfig)})}};
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
  explicit TavradProcessTest(bool asNobody = false, bool preferencesAtStart = true)
      : daemon(asNobody), preferencesAtStart_(preferencesAtStart) {}

  void SetUp() override {
    if (daemon.unavailable()) GTEST_SKIP() << "no private root here: " << *daemon.unavailable();
    const std::string catalog = testCatalog().encode();
    daemon.write("/Library/Vendor/catalog.json", catalog);
    daemon.write("/Library/Vendor/catalog.json.sig", key.signatureFile(catalog));
    if (preferencesAtStart_) writePreferences(prefs);
  }

  // The settings (a file catalog signed with the test's key) and one fragment for claude.
  void writePreferences(const std::string& folder) const {
    daemon.write(folder + "/com.zelkorandin.tavra.plist",
                 plist::writeXML(Value(Value::Object{
                     {"CatalogURL", "file:///Library/Vendor/catalog.json"},
                     {"CatalogTrustedKeys", Value(Value::Array{key.publicBase64()})},
                 })));
    daemon.write(folder + "/com.zelkorandin.tavra.policy.base.plist",
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
  // The change line of a path: one event, or several folded into one line.
  std::optional<Line> waitForChangeAt(const std::string& path,
                                      std::chrono::milliseconds timeout = 60s) {
    return daemon.waitFor([&](const Line& line) { return isChangeAt(line, path); }, timeout);
  }
  static bool isChangeAt(const Line& line, const std::string& path) {
    const std::string text = "change detected at " + path;
    return line.category == "daemon" && (line.text == text || line.text.starts_with(text + " ("));
  }
  Value output(const std::string& path) const { return Value::parseJSON(daemon.read(path)); }
  void expectExitStatusZero() {
    const int status = daemon.waitForExit();
    ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }

  CatalogSigningKey key;
  PrivateRootDaemon daemon;

 private:
  bool preferencesAtStart_;
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
  ASSERT_TRUE(waitForChangeAt(claudeSettings));
  ASSERT_TRUE(daemon.waitFor("reconcile", "driftCorrected " + claudeSettings + " [claude]"));
  ASSERT_TRUE(waitForRun());
  EXPECT_EQ(output(claudeSettings), Value(Value::Object{{"model", "opus"}}));
  ASSERT_TRUE(daemon.waitUntilIdle());

  // A new fragment in the managed preferences is applied.
  daemon.write(prefs + "/com.zelkorandin.tavra.policy.tools.plist",
               fragment("tools", "opencode", Value(Value::Object{{"theme", "dark"}})));
  ASSERT_TRUE(waitForChangeAt(prefs));
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

// Replaces `target` with its own bytes, by rename, each time the daemon's atomic write puts the
// file in place (a rename from one of its ".tavra-" temporary files), until `until`: the
// replacement lands while the daemon's run is still going. Returns how often it replaced it.
int raceTheDaemon(const std::string& target, std::chrono::steady_clock::time_point until) {
  const std::filesystem::path path(target);
  const std::string folder = path.parent_path().string();
  const std::string name = path.filename().string();
  const int inotify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (inotify < 0 || inotify_add_watch(inotify, folder.c_str(), IN_MOVED_FROM | IN_MOVED_TO) < 0) {
    ADD_FAILURE() << "cannot watch " << folder;
    return 0;
  }
  std::map<std::uint32_t, bool> daemonsRenames;  // cookie: from a daemon's temporary file
  int replaced = 0;
  alignas(inotify_event) char buffer[16 * 1024];
  while (std::chrono::steady_clock::now() < until) {
    pollfd ready{inotify, POLLIN, 0};
    if (poll(&ready, 1, 20) <= 0) continue;
    const ssize_t got = read(inotify, buffer, sizeof buffer);
    for (ssize_t at = 0; got > 0 && at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += ssize_t(sizeof(inotify_event) + event->len);
      const std::string entry = event->len > 0 ? event->name : "";
      if (event->mask & IN_MOVED_FROM) daemonsRenames[event->cookie] = entry.starts_with(".tavra-");
      if ((event->mask & IN_MOVED_TO) && entry == name && daemonsRenames[event->cookie]) {
        const std::string spare = folder + "/.racer";
        std::ofstream(spare, std::ios::trunc) << R"({"model":"racer"})";
        std::filesystem::rename(spare, target);
        ++replaced;
      }
    }
  }
  close(inotify);
  return replaced;
}

TEST_F(TavradProcessTest, AFileReplacedWhileTheRunGoesOnIsPutRightOnceTheRacerStops) {
  daemon.start();
  ASSERT_TRUE(waitForDaemon("catalog updated to 1.0"));
  ASSERT_TRUE(waitForRun());
  ASSERT_TRUE(daemon.waitUntilIdle());
  const std::string policy = daemon.read(claudeSettings);

  // The racer starts the race with an edit, then answers every write of the daemon at once.
  std::atomic<int> replaced{0};
  const auto until = std::chrono::steady_clock::now() + 6s;
  std::thread racer([&] { replaced = raceTheDaemon(daemon.path(claudeSettings), until); });
  daemon.write(claudeSettings, R"({"model":"haiku"})");
  racer.join();
  EXPECT_GE(replaced.load(), 1) << "the daemon wrote the file at least once during the race";

  // Its last replacement landed during a run; the daemon puts the file right all the same,
  // long before its reapply timer (900 s).
  bool right = false;
  for (int run = 0; run < 10 && !right; ++run) {
    if (!daemon.waitFor("reconcile", "driftCorrected " + claudeSettings + " [claude]", 30s)) break;
    ASSERT_TRUE(waitForRun());
    ASSERT_TRUE(daemon.waitUntilIdle());
    right = daemon.read(claudeSettings) == policy;
  }
  EXPECT_TRUE(right) << daemon.read(claudeSettings);
  daemon.signal(SIGTERM);
  expectExitStatusZero();
}

TEST_F(TavradProcessTest, WritesAndModeChangesOfOtherFilesInAnOutputsFolderStartNoRun) {
  const std::string sibling = "/Library/Application Support/ClaudeCode/notes.txt";
  daemon.write(sibling, "mine");
  daemon.start();
  ASSERT_TRUE(waitForDaemon("catalog updated to 1.0"));
  ASSERT_TRUE(waitForRun());
  ASSERT_TRUE(daemon.waitUntilIdle());
  std::ofstream(daemon.path(sibling), std::ios::app) << " and more";
  ASSERT_EQ(chmod(daemon.path(sibling).c_str(), 0600), 0);
  // Then an edit of the managed file itself: the first change the daemon sees is that one, and
  // one run follows, which puts it right.
  daemon.write(claudeSettings, R"({"model":"haiku"})");
  const auto first =
      daemon.waitFor([](const Line& line) { return line.text.starts_with("change detected at "); });
  ASSERT_TRUE(first);
  EXPECT_TRUE(isChangeAt(*first, claudeSettings)) << first->text;
  ASSERT_TRUE(daemon.waitFor("reconcile", "driftCorrected " + claudeSettings + " [claude]"));
  ASSERT_TRUE(waitForRun());
  EXPECT_EQ(output(claudeSettings), Value(Value::Object{{"model", "opus"}}));
  daemon.signal(SIGTERM);
  expectExitStatusZero();
  for (const Line& line : daemon.lines()) {
    EXPECT_FALSE(isChangeAt(line, "/Library/Application Support/ClaudeCode")) << line.text;
  }
}

TEST_F(TavradProcessTest, AnEditIsPutRightWhileTheEntriesOfItsFolderChurnOn) {
  daemon.start();
  ASSERT_TRUE(waitForDaemon("catalog updated to 1.0"));
  ASSERT_TRUE(waitForRun());
  ASSERT_TRUE(daemon.waitUntilIdle());

  // A writer of the folder makes and removes an entry ten times a second, for a minute unless
  // the test is done sooner: each event puts the pending run off again.
  std::atomic<bool> done{false};
  std::atomic<bool> churnedToTheEnd{false};
  const std::string entry = daemon.path("/Library/Application Support/ClaudeCode/churn");
  std::thread churner([&] {
    const auto until = std::chrono::steady_clock::now() + 60s;
    while (!done) {
      if (std::chrono::steady_clock::now() >= until) {
        churnedToTheEnd = true;
        return;
      }
      std::ofstream{entry};
      std::filesystem::remove(entry);
      std::this_thread::sleep_for(100ms);
    }
  });
  daemon.write(claudeSettings, R"({"model":"haiku"})");
  const auto corrected =
      daemon.waitFor("reconcile", "driftCorrected " + claudeSettings + " [claude]", 45s);
  done = true;
  churner.join();
  ASSERT_TRUE(corrected);
  EXPECT_FALSE(churnedToTheEnd) << "put right only once the churn was over";
  ASSERT_TRUE(waitForRun());
  EXPECT_EQ(output(claudeSettings), Value(Value::Object{{"model", "opus"}}));
  daemon.signal(SIGTERM);
  expectExitStatusZero();
}

class TavradWithoutPreferencesTest : public TavradProcessTest {
 protected:
  TavradWithoutPreferencesTest()
      : TavradProcessTest(/*asNobody=*/false, /*preferencesAtStart=*/false) {}

  // The managed preferences appear whole, as a profile installation puts them.
  void installPreferences() {
    writePreferences("/staging");
    std::filesystem::rename(daemon.path("/staging"), daemon.path(prefs));
  }
};

TEST_F(TavradWithoutPreferencesTest, PreferencesThatAppearAfterTheStartAreAppliedAtOnce) {
  daemon.start();
  auto summary = waitForRun();
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->text, "error; catalog none; managed: none");
  ASSERT_TRUE(daemon.waitUntilIdle());

  installPreferences();
  ASSERT_TRUE(waitForDaemon("configuration profiles changed"));
  ASSERT_TRUE(waitForDaemon("catalog updated to 1.0"));
  summary = waitForRun();
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->text, "ok; catalog 1.0; managed: claude");
  EXPECT_EQ(output(claudeSettings), Value(Value::Object{{"model", "opus"}}));
  ASSERT_TRUE(daemon.waitUntilIdle());

  // Gone, and back again: each is a profile change, and the policy is applied again.
  std::filesystem::remove_all(daemon.path(prefs));
  ASSERT_TRUE(waitForDaemon("configuration profiles changed"));
  ASSERT_TRUE(waitForRun());
  ASSERT_TRUE(daemon.waitUntilIdle());
  installPreferences();
  ASSERT_TRUE(waitForDaemon("configuration profiles changed"));
  summary = waitForRun();
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->text, "ok; catalog 1.0; managed: claude");
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
