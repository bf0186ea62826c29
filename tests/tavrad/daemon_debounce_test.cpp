// Folding triggers into runs, and the reapply timer, in virtual time.
#include <csignal>
#include <map>

#include "tavrad/support/daemon_fixture.h"

namespace tavra::test {
namespace {

using Level = Logger::Level;

class DaemonDebounceTest : public DaemonTest {
 protected:
  const std::string prefs = "/Library/Managed Preferences";

  // Starts the daemon and lets the first run and its refresh finish.
  void startSteady() {
    catalogInstalled = true;
    start();
    loop.runReady();
    finishRefreshes();
    passes.clear();
    log->clear();
  }
};

TEST_F(DaemonDebounceTest, ThreeFileEventsHalfASecondApartGiveOneRunTwoSecondsAfterTheLast) {
  startSteady();
  advanceTo(10);
  changed(prefs);
  advanceTo(10.5);
  changed(prefs);
  advanceTo(11);
  changed(prefs);
  advanceTo(12.9);
  EXPECT_TRUE(passes.empty());
  advanceTo(20);
  EXPECT_EQ(runTimes(), std::vector<double>{13});
  // All three within one window: one line, said when the window closes.
  EXPECT_EQ(linesAt(Level::info),
            std::vector<std::string>{"change detected at /Library/Managed Preferences (3 events)"});
}

TEST_F(DaemonDebounceTest, ABurstOfThousandsOfFileEventsGivesOneRunAndOneLine) {
  startSteady();
  advanceTo(5);
  for (int i = 0; i < 5000; ++i) changed(prefs);
  loop.runReady();
  EXPECT_TRUE(linesAt(Level::info).empty()) << "the line waits for the window to close";
  advanceTo(60);
  EXPECT_EQ(runTimes(), std::vector<double>{7});
  EXPECT_EQ(
      linesAt(Level::info),
      std::vector<std::string>{"change detected at /Library/Managed Preferences (5000 events)"});
}

TEST_F(DaemonDebounceTest, AStormOfEventsIsSaidOncePerPathAndWindowWithTheEventsCounted) {
  const std::string output = "/Library/Application Support/opencode/opencode.json";
  report = reportWith({{output}});
  makeFile(output);
  startSteady();
  // Ten events a second on the output and on its folder for ten seconds: 200 events.
  constexpr int perPath = 100;
  for (int i = 0; i < perPath; ++i) {
    advanceTo(5.05 + 0.1 * i);
    changed(output);
    changed(Daemon::parentPath(output));
  }
  advanceTo(60);
  std::map<std::string, int> counted;
  std::map<std::string, int> lineCount;
  for (const std::string& line : linesAt(Level::info)) {
    const std::string start = "change detected at ";
    ASSERT_TRUE(line.starts_with(start)) << line;
    const std::size_t open = line.rfind(" (");
    const std::string path = line.substr(start.size(), open - start.size());
    ASSERT_NE(open, std::string::npos) << line;
    counted[path] += std::stoi(line.substr(open + 2));
    ++lineCount[path];
  }
  for (const std::string& path : {output, Daemon::parentPath(output)}) {
    EXPECT_EQ(counted[path], perPath) << path;
    // A window of two seconds over ten seconds of events.
    EXPECT_EQ(lineCount[path], 5) << path;
  }
  EXPECT_EQ(runTimes(), std::vector<double>{16.95}) << "the run follows the last event";
}

TEST_F(DaemonDebounceTest, AStormOfEventsPutsOffARunByTenSecondsAtMost) {
  // A writer of an output's folder churns its entries every half second from 10.25 to 59.75.
  // Each event would put the pending run off again; it is held to ten seconds past the time its
  // first trigger set, so runs keep coming while the storm lasts, and one follows its end.
  struct Case {
    std::string name;
    bool immediateFirst;  // a SIGHUP handled together with the first event
    std::vector<double> runs;
  };
  const std::vector<Case> cases{
      {"events only", false, {22.25, 34.25, 46.25, 58.25, 61.75}},
      {"an immediate run put off", true, {20.25, 32.25, 44.25, 56.25, 61.75}},
  };
  for (const Case& c : cases) {
    startSteady();
    const double base = seconds();
    for (int i = 0; i < 100; ++i) {
      advanceTo(base + 10.25 + 0.5 * i);
      if (i == 0 && c.immediateFirst) loop.raise(SIGHUP);
      changed(prefs);
    }
    advanceTo(base + 100);
    std::vector<double> runs;
    for (double at : runTimes()) runs.push_back(at - base);
    EXPECT_EQ(runs, c.runs) << c.name;
    daemon.reset();
  }
}

TEST_F(DaemonDebounceTest, ChangesAreSaidBeforeTheRunThatAnswersThemAndBeforeTerminating) {
  // Two events whose window is still open when a signal comes: their line is not held back
  // past the run they led to, nor lost with the process.
  const MemoryLogger::Line change{Level::info,
                                  "change detected at /Library/Managed Preferences (2 events)"};
  struct Case {
    int signal;
    std::vector<MemoryLogger::Line> lines;
  };
  const std::vector<Case> cases{
      {SIGHUP,
       {{Level::default_, "SIGHUP: re-applying"}, change, {Level::default_, report.summary()}}},
      {SIGTERM, {change, {Level::default_, "terminating"}}},
      {SIGINT, {change, {Level::default_, "terminating"}}},
  };
  for (const Case& c : cases) {
    startSteady();
    const double base = seconds();
    advanceTo(base + 10);
    changed(prefs);
    advanceTo(base + 10.25);
    changed(prefs);
    advanceTo(base + 10.5);
    loop.raise(c.signal);
    loop.runReady();
    EXPECT_EQ(log->lines(), c.lines) << c.signal;
    if (c.signal == SIGHUP) {
      advanceTo(base + 20);
      EXPECT_EQ(linesAt(Level::info), std::vector<std::string>{change.text}) << "said once";
    }
    daemon.reset();
  }
}

TEST_F(DaemonDebounceTest, SighupReplacesAPendingDelayedRunWithAnImmediateOneAndForcesARefresh) {
  startSteady();
  ASSERT_FALSE(daemon->catalogUpdateRunning());
  advanceTo(100);
  changed(prefs);
  advanceTo(100.5);
  loop.raise(SIGHUP);
  loop.runReady();
  EXPECT_EQ(runTimes(), std::vector<double>{100.5});
  EXPECT_TRUE(daemon->catalogUpdateRunning()) << "the refresh interval has not passed";
  advanceTo(110);
  EXPECT_EQ(runTimes(), std::vector<double>{100.5});
  EXPECT_EQ(linesAt(Level::default_).front(), "SIGHUP: re-applying");
}

TEST_F(DaemonDebounceTest, AProfileNotificationDelaysAPendingImmediateRunByTwoSeconds) {
  startSteady();
  advanceTo(50);
  loop.raise(SIGHUP);
  loop.notifyProfileChange();
  loop.runReady();
  EXPECT_TRUE(passes.empty());
  advanceTo(60);
  EXPECT_EQ(runTimes(), std::vector<double>{52});
  EXPECT_EQ(lines()[0], "SIGHUP: re-applying");
  EXPECT_EQ(lines()[1], "configuration profiles changed");
}

TEST_F(DaemonDebounceTest, ASignalDuringARunGivesAFurtherRunAfterIt) {
  startSteady();
  duringPass = [this] {
    duringPass = nullptr;
    loop.raise(SIGHUP);
  };
  advanceTo(10);
  loop.raise(SIGHUP);
  loop.runReady();
  EXPECT_EQ(runTimes(), (std::vector<double>{10, 10}));
}

TEST_F(DaemonDebounceTest, TheTimerTicksEveryReapplyInterval) {
  startSteady();
  advanceTo(2000);
  EXPECT_EQ(runTimes(), (std::vector<double>{900, 1800}));
}

struct IntervalChange {
  double newInterval;
  std::vector<double> runs;  // the SIGHUP run at 100, then the timer's
};

class DaemonTimerTest : public DaemonDebounceTest,
                        public ::testing::WithParamInterface<IntervalChange> {};

TEST_P(DaemonTimerTest, TheTimerIsReCreatedOnlyWhenTheIntervalChanged) {
  settings.reapplyInterval = 900;
  startSteady();
  settings.reapplyInterval = GetParam().newInterval;
  advanceTo(100);
  loop.raise(SIGHUP);
  loop.runReady();
  advanceTo(1100);
  EXPECT_EQ(runTimes(), GetParam().runs);
  ASSERT_EQ(loop.repeatingTimers().size(), 1u);
  EXPECT_EQ(loop.repeatingTimers()[0].interval, Daemon::timerPeriod(GetParam().newInterval));
}

INSTANTIATE_TEST_SUITE_P(Intervals, DaemonTimerTest,
                         ::testing::Values(IntervalChange{300, {100, 400, 700, 1000}},
                                           IntervalChange{900, {100, 900}}));

TEST_F(DaemonDebounceTest, IntervalsBeyondTheTimerAreClamped) {
  struct Case {
    double seconds;
    EventLoop::Duration period;
  };
  const std::vector<Case> cases{
      {60, 60s},
      {9.3e9, EventLoop::maxDuration},
      {9.223372036854775807e18, EventLoop::maxDuration},
      {1e300, EventLoop::maxDuration},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Daemon::timerPeriod(c.seconds), c.period) << c.seconds;
  }
  settings.reapplyInterval = 9.223372036854775807e18;
  startSteady();
  ASSERT_EQ(loop.repeatingTimers().size(), 1u);
  EXPECT_EQ(loop.repeatingTimers()[0].interval, EventLoop::maxDuration);
  loop.raise(SIGHUP);
  loop.runReady();
  advanceTo(1e6);
  EXPECT_EQ(runTimes(), std::vector<double>{0}) << "only the SIGHUP run; the timer is far off";
  EXPECT_EQ(loop.repeatingTimers().size(), 1u);
}

}  // namespace
}  // namespace tavra::test
