// Start, stop and the shape of one run.
#include <csignal>

#include "tavrad/support/daemon_fixture.h"

namespace tavra::test {
namespace {

using Level = Logger::Level;
using DaemonStartTest = DaemonTest;

TEST_F(DaemonStartTest, StartLogsTheVersionAndUserAndWarnsWhenNotRoot) {
  struct Case {
    uid_t uid;
    std::vector<MemoryLogger::Line> lines;
  };
  const std::vector<Case> cases{
      {0, {{Level::default_, "tavrad 0.2.1 starting (uid 0)"}}},
      {65534,
       {{Level::default_, "tavrad 0.2.1 starting (uid 65534)"},
        {Level::error, "tavrad must run as root; outputs will fail"}}},
  };
  for (const Case& c : cases) {
    log->clear();
    uid = c.uid;
    start();
    EXPECT_EQ(log->lines(), c.lines) << c.uid;
    daemon.reset();
  }
}

TEST_F(DaemonStartTest, NotRootTheDaemonStillRunsOnEveryTrigger) {
  uid = 501;
  start();
  loop.runReady();
  loop.raise(SIGHUP);
  loop.runReady();
  EXPECT_EQ(runTimes(), (std::vector<double>{0, 0}));
}

TEST_F(DaemonStartTest, SettingsAreReadAtConstructionAndAgainAtEveryRun) {
  settings.reapplyInterval = 120;
  start();
  EXPECT_EQ(settingsReads, 1);
  EXPECT_EQ(daemon->settings().reapplyInterval, 120);
  settings.reapplyInterval = 600;
  loop.runReady();
  EXPECT_EQ(settingsReads, 2);
  EXPECT_EQ(daemon->settings().reapplyInterval, 600);
}

TEST_F(DaemonStartTest, StartInstallsTheTriggersAndQueuesTheFirstRunWithoutDelay) {
  start();
  EXPECT_EQ(loop.signals(), (std::vector<int>{SIGHUP, SIGTERM, SIGINT}));
  EXPECT_EQ(loop.profileNotifications(),
            std::vector<std::string>{"com.apple.ManagedConfiguration.profileListChanged"});
  EXPECT_TRUE(passes.empty()) << "start() only queues the first run";
  loop.runReady();
  EXPECT_EQ(runTimes(), std::vector<double>{0});
}

TEST_F(DaemonStartTest, TheFirstRunArmsTheTimerWatchesAndStartsARefresh) {
  catalogInstalled = true;  // a refresh is due anyway: the last check lies in the distant past
  report = reportWith({{"/Library/Application Support/opencode/opencode.json"}});
  makeFolder("/Library/Application Support/opencode");
  start();
  loop.runReady();
  ASSERT_EQ(loop.repeatingTimers().size(), 1u);
  EXPECT_EQ(loop.repeatingTimers()[0].interval, 900s);
  EXPECT_EQ(loop.repeatingTimers()[0].leeway, 30s);
  EXPECT_EQ(daemon->watchedPaths(), (std::vector<std::string>{
                                        "/Library/Application Support/opencode",
                                        "/Library/Managed Preferences",
                                    }));
  EXPECT_TRUE(daemon->catalogUpdateRunning());
  EXPECT_EQ(heldBack.size(), 1u);
}

TEST_F(DaemonStartTest, EachRunLogsTheReportSummary) {
  report = reportWith({{"/a/b.json"}});
  start();
  loop.runReady();
  EXPECT_EQ(linesAt(Level::default_).back(), "ok; catalog 1.0; managed: h0");
}

TEST_F(DaemonStartTest, TermAndIntLogAndEndTheProcessWithStatusZero) {
  for (int signal : {SIGTERM, SIGINT}) {
    exits.clear();
    start();
    loop.runReady();
    log->clear();
    loop.raise(signal);
    loop.runReady();
    EXPECT_EQ(log->lines(), (std::vector<MemoryLogger::Line>{{Level::default_, "terminating"}}))
        << signal;
    EXPECT_EQ(exits, std::vector<int>{0}) << signal;
    daemon.reset();
  }
}

TEST_F(DaemonStartTest, ATerminationDuringARunIsActedOnAfterTheRun) {
  start();
  duringPass = [this] { loop.raise(SIGTERM); };
  loop.runReady();
  EXPECT_EQ(runTimes().size(), 1u);
  EXPECT_EQ(exits, std::vector<int>{0});
  EXPECT_EQ(lines().back(), "terminating");
}

TEST_F(DaemonStartTest, APassThatFailsOutrightIsLoggedAndTheDaemonGoesOn) {
  report = reportWith({{"/Library/Application Support/opencode/opencode.json"}});
  makeFile("/Library/Application Support/opencode/opencode.json");
  start();
  loop.runReady();
  const auto watched = daemon->watchedPaths();
  passThrows = true;
  loop.raise(SIGHUP);
  loop.runReady();
  EXPECT_EQ(linesAt(Level::error), std::vector<std::string>{"run failed: the pass broke"});
  EXPECT_EQ(daemon->watchedPaths(), watched) << "the watches stay on what they covered";
  EXPECT_EQ(loop.repeatingTimers().size(), 1u);
  passThrows = false;
  changed("/Library/Application Support/opencode/opencode.json");
  advanceTo(2);
  EXPECT_EQ(runTimes(), (std::vector<double>{0, 0, 2}));
}

TEST_F(DaemonStartTest, HandlersDoNothingOnceTheDaemonIsGone) {
  start();
  loop.runReady();
  loop.raise(SIGHUP);
  daemon.reset();
  loop.advance(3600s);
  EXPECT_EQ(runTimes(), std::vector<double>{0});
}

TEST_F(DaemonStartTest, ARunOutsideTheQueueIsAProgrammingError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  start();
  EXPECT_DEATH(daemon->runNow(), "outside the daemon's queue");
}

}  // namespace
}  // namespace tavra::test
