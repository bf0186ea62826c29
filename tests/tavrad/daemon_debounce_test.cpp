// Folding triggers into runs, and the reapply timer, in virtual time.
#include <csignal>

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
  const std::vector<std::string> detected(3, "change detected at /Library/Managed Preferences");
  EXPECT_EQ(linesAt(Level::info), detected);
}

TEST_F(DaemonDebounceTest, ABurstOfThousandsOfFileEventsGivesOneRun) {
  startSteady();
  advanceTo(5);
  for (int i = 0; i < 5000; ++i) changed(prefs);
  loop.runReady();
  advanceTo(60);
  EXPECT_EQ(runTimes(), std::vector<double>{7});
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
