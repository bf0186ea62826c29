#include "tavra/platform/manual_event_loop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include "support/temp_tree.h"

namespace tavra {
namespace {

using namespace std::chrono_literals;
using Duration = EventLoop::Duration;

struct Recorder {
  std::vector<std::pair<std::string, Duration>> seen;
  ManualEventLoop* loop = nullptr;
  EventLoop::Task note(std::string name) {
    return [this, name] { seen.emplace_back(name, loop->now()); };
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& [name, at] : seen) out.push_back(name);
    return out;
  }
};

class ManualEventLoopTest : public ::testing::Test {
 protected:
  ManualEventLoop loop;
  Recorder recorder{{}, &loop};
};

TEST_F(ManualEventLoopTest, RunsDueWorkInOrderOfTimeThenOfQueueing) {
  auto late = loop.schedule(2s, recorder.note("late"));
  auto first = loop.schedule(1s, recorder.note("first"));
  auto tie = loop.schedule(1s, recorder.note("tie"));
  loop.post(recorder.note("posted"));
  loop.advance(1500ms);
  EXPECT_EQ(recorder.names(), (std::vector<std::string>{"posted", "first", "tie"}));
  EXPECT_EQ(recorder.seen[1].second, 1s);
  EXPECT_EQ(loop.now(), 1500ms);
  loop.advance(500ms);
  EXPECT_EQ(recorder.names().back(), "late");
  EXPECT_EQ(recorder.seen.back().second, 2s);
}

TEST_F(ManualEventLoopTest, WorkQueuedWhileAdvancingRunsInTheSameCallWhenDue) {
  EventLoop::Handle inner;
  auto outer = loop.schedule(1s, [&] { inner = loop.schedule(1s, recorder.note("inner")); });
  loop.advance(3s);
  ASSERT_EQ(recorder.seen.size(), 1u);
  EXPECT_EQ(recorder.seen[0].second, 2s);
}

TEST_F(ManualEventLoopTest, CancelledWorkNeverRunsAndDroppingAHandleCancels) {
  auto kept = loop.schedule(1s, recorder.note("kept"));
  auto cancelled = loop.schedule(1s, recorder.note("cancelled"));
  cancelled.cancel();
  { auto dropped = loop.schedule(1s, recorder.note("dropped")); }
  auto replaced = loop.schedule(1s, recorder.note("replaced"));
  replaced = loop.schedule(2s, recorder.note("replacement"));
  EventLoop::Handle moved = std::move(kept);
  EXPECT_FALSE(kept);  // NOLINT(bugprone-use-after-move): a moved-from handle is empty
  loop.advance(5s);
  EXPECT_EQ(recorder.names(), (std::vector<std::string>{"kept", "replacement"}));
}

TEST_F(ManualEventLoopTest, RepeatingTimerTicksEveryIntervalUntilCancelled) {
  EventLoop::Handle timer;
  int ticks = 0;
  timer = loop.repeat(10s, 3s, [&] {
    if (++ticks == 3) timer.cancel();
  });
  ASSERT_EQ(loop.repeatingTimers().size(), 1u);
  EXPECT_EQ(loop.repeatingTimers()[0].interval, 10s);
  EXPECT_EQ(loop.repeatingTimers()[0].leeway, 3s);
  loop.advance(25s);
  EXPECT_EQ(ticks, 2);
  loop.advance(100s);
  EXPECT_EQ(ticks, 3);
  EXPECT_TRUE(loop.repeatingTimers().empty());
}

TEST_F(ManualEventLoopTest, LongestDelaysDoNotOverflowTheClock) {
  auto never = loop.schedule(EventLoop::maxDuration, recorder.note("never"));
  auto timer = loop.repeat(EventLoop::maxDuration, 0s, recorder.note("tick"));
  loop.advance(1s);
  loop.advance(24h * 365 * 100);
  EXPECT_TRUE(recorder.seen.empty());
}

TEST_F(ManualEventLoopTest, FiredSourcesRunAtTheNextAdvanceAndCancelledOnesDropTheirEvents) {
  test::TempTree tree;
  const std::string file = tree.write("file", "x");
  std::error_code error;
  auto hup = loop.onSignal(SIGHUP, recorder.note("hup"));
  auto term = loop.onSignal(SIGTERM, recorder.note("term"));
  auto watch = loop.watch(file, recorder.note("watch"), error);
  ASSERT_TRUE(watch) << error.message();
  auto profile = loop.onProfileChange("example.profiles", recorder.note("profile"));
  EXPECT_EQ(loop.signals(), (std::vector<int>{SIGHUP, SIGTERM}));
  EXPECT_EQ(loop.watchedPaths(), std::vector<std::string>{file});
  EXPECT_EQ(loop.profileSources(), 1u);
  EXPECT_EQ(loop.profileNotifications(), std::vector<std::string>{"example.profiles"});

  loop.raise(SIGTERM);
  loop.changed(file);
  loop.notifyProfileChange();
  EXPECT_TRUE(recorder.seen.empty());
  loop.runReady();
  EXPECT_EQ(recorder.names(), (std::vector<std::string>{"term", "watch", "profile"}));

  recorder.seen.clear();
  loop.changed(file);
  loop.raise(SIGHUP);
  watch.cancel();
  hup.cancel();
  loop.runReady();
  EXPECT_TRUE(recorder.seen.empty());
  EXPECT_TRUE(loop.watchedPaths().empty());
  EXPECT_EQ(loop.signals(), std::vector<int>{SIGTERM});
}

TEST_F(ManualEventLoopTest, WatchRefusesMissingPathsAndSymbolicLinks) {
  test::TempTree tree;
  tree.write("target", "x");
  ASSERT_EQ(symlink(tree.path("target").c_str(), tree.path("link").c_str()), 0);
  std::error_code error;
  EXPECT_FALSE(loop.watch(
      tree.path("missing"), [] {}, error));
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
  EXPECT_FALSE(loop.watch(
      tree.path("link"), [] {}, error));
  EXPECT_EQ(error, std::errc::too_many_symbolic_link_levels);
  EXPECT_TRUE(loop.watch(
      tree.root(), [] {}, error));
  EXPECT_FALSE(error);
}

TEST_F(ManualEventLoopTest, OnLoopThreadOnlyWhileRunningWorkOnTheOwningThread) {
  EXPECT_FALSE(loop.onLoopThread());
  bool inside = false;
  bool otherThread = true;
  loop.post([&] {
    inside = loop.onLoopThread();
    std::thread([&] { otherThread = loop.onLoopThread(); }).join();
  });
  loop.runReady();
  EXPECT_TRUE(inside);
  EXPECT_FALSE(otherThread);
}

TEST_F(ManualEventLoopTest, WorkPostedFromAnotherThreadArrivesAtTheNextAdvance) {
  EXPECT_FALSE(loop.waitForPosted(0ms));
  std::thread poster([&] { loop.post(recorder.note("from another thread")); });
  EXPECT_TRUE(loop.waitForPosted(10s));
  poster.join();
  loop.runReady();
  EXPECT_EQ(recorder.names(), std::vector<std::string>{"from another thread"});
}

TEST_F(ManualEventLoopTest, ATaskThatThrowsDoesNotStopTheLoop) {
  auto bad = loop.schedule(1s, [] { throw std::runtime_error("bad task"); });
  auto good = loop.schedule(2s, recorder.note("good"));
  loop.advance(3s);
  EXPECT_EQ(recorder.names(), std::vector<std::string>{"good"});
}

TEST_F(ManualEventLoopTest, RunIsRefused) {
  EXPECT_THROW(loop.run(), std::logic_error);
}

}  // namespace
}  // namespace tavra
