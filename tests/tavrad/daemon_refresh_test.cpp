// The catalog refresh: when one is due, one at a time, off the loop, and what its outcome does.
#include <csignal>
#include <future>
#include <thread>

#include "tavra/error.h"
#include "tavrad/support/daemon_fixture.h"

namespace tavra::test {
namespace {

using Level = Logger::Level;

class DaemonRefreshTest : public DaemonTest {
 protected:
  const std::string prefs = "/Library/Managed Preferences";

  static UpdateOutcome failure(const std::string& message) {
    return std::make_exception_ptr(TavraError::catalog(message));
  }
  // A run from a trigger that does not force a refresh.
  void runAfterFileEvent() {
    changed(prefs);
    advanceTo(seconds() + 2);
  }
};

TEST_F(DaemonRefreshTest, WithoutAVerifiedCatalogEveryRunThatFindsNoneInFlightStartsOne) {
  catalogInstalled = false;
  updateOutcomes = {failure("unreachable"), failure("unreachable")};
  start();
  loop.runReady();
  EXPECT_EQ(heldBack.size(), 1u);
  runAfterFileEvent();
  EXPECT_EQ(heldBack.size(), 1u) << "one refresh in flight at most";
  finishRefreshes();
  EXPECT_EQ(linesAt(Level::error),
            std::vector<std::string>{"catalog update failed: catalog: unreachable"});
  EXPECT_FALSE(daemon->catalogUpdateRunning());
  runAfterFileEvent();
  EXPECT_EQ(heldBack.size(), 1u) << "the interval is not consulted without a catalog";
  finishRefreshes();
  EXPECT_EQ(updateCalls.size(), 2u);
}

TEST_F(DaemonRefreshTest, WithAVerifiedCatalogAFailedRefreshWaitsAFullInterval) {
  catalogInstalled = true;
  settings.catalogRefreshInterval = 3600;
  updateOutcomes = {failure("unreachable")};
  start();
  loop.runReady();
  finishRefreshes();
  EXPECT_EQ(linesAt(Level::error),
            std::vector<std::string>{"catalog update failed: catalog: unreachable"});
  advanceTo(3000);
  runAfterFileEvent();
  EXPECT_TRUE(heldBack.empty()) << "3002 s since the failed attempt started";
  advanceTo(3598);
  runAfterFileEvent();
  EXPECT_EQ(heldBack.size(), 1u) << "3600 s since the failed attempt started";
}

TEST_F(DaemonRefreshTest, SighupForcesARefreshUnlessOneIsInFlight) {
  catalogInstalled = true;
  start();
  loop.runReady();
  ASSERT_EQ(heldBack.size(), 1u);
  loop.raise(SIGHUP);
  loop.runReady();
  EXPECT_EQ(heldBack.size(), 1u) << "still in flight";
  finishRefreshes();
  advanceTo(10);
  loop.raise(SIGHUP);
  loop.runReady();
  EXPECT_EQ(heldBack.size(), 1u) << "forced although the interval has not passed";
}

TEST_F(DaemonRefreshTest, UpdatedCausesARunAtOnceAndUnchangedDoesNot) {
  struct Case {
    UpdateResult result;
    MemoryLogger::Line line;
    std::vector<double> runs;
  };
  const std::vector<Case> cases{
      {UpdateResult::updated("2.0"), {Level::default_, "catalog updated to 2.0"}, {0, 5}},
      {UpdateResult::unchanged("1.0"), {Level::info, "catalog 1.0 is current"}, {0}},
  };
  for (const Case& c : cases) {
    passes.clear();
    updateOutcomes = {c.result};
    start();
    loop.runReady();
    log->clear();
    advanceTo(seconds() + 5);
    const auto base = loop.now();
    finishRefreshes();
    EXPECT_EQ(log->lines().front(), c.line);
    std::vector<double> relative;
    for (auto at : passes) {
      relative.push_back(std::chrono::duration<double>(at - (base - 5s)).count());
    }
    EXPECT_EQ(relative, c.runs) << c.line.text;
    daemon.reset();
  }
}

TEST_F(DaemonRefreshTest, TheRefreshGetsTheStoreUrlAndPinOfTheRunsSettings) {
  settings.catalogURL = *URL::parse("file:///srv/catalog/catalog.json");
  settings.catalogPinnedVersion = "3.1";
  start();
  loop.runReady();
  finishRefreshes();
  ASSERT_EQ(updateCalls.size(), 1u);
  EXPECT_EQ(updateCalls[0].storeDirectory, tree.path("catalog"));
  EXPECT_EQ(updateCalls[0].url, "file:///srv/catalog/catalog.json");
  EXPECT_EQ(updateCalls[0].pin, "3.1");
}

TEST_F(DaemonRefreshTest, TheCheckTimeIsTheStartOfTheLatestRefresh) {
  catalogInstalled = true;
  start();
  EXPECT_FALSE(daemon->lastCatalogCheck());
  loop.runReady();
  const auto started = daemon->lastCatalogCheck();
  ASSERT_TRUE(started);
  advanceTo(100);
  finishRefreshes();
  EXPECT_EQ(daemon->lastCatalogCheck(), started);
  loop.raise(SIGHUP);
  EXPECT_EQ(daemon->lastCatalogCheck(), started) << "SIGHUP forgets it only when handled";
  loop.runReady();
  ASSERT_TRUE(daemon->lastCatalogCheck());
  EXPECT_EQ(*daemon->lastCatalogCheck() - *started, 100s);
}

TEST_F(DaemonRefreshTest, AClockSetBackMakesARefreshDue) {
  catalogInstalled = true;
  start();
  loop.runReady();
  finishRefreshes();
  clockShift = -std::chrono::hours(24 * 30);
  runAfterFileEvent();
  EXPECT_EQ(heldBack.size(), 1u);
}

TEST_F(DaemonRefreshTest, NoThreadForTheRefreshIsLoggedAndTriedAgainLater) {
  backgroundFails = true;
  start();
  loop.runReady();
  EXPECT_EQ(linesAt(Level::error),
            std::vector<std::string>{"catalog update failed: no thread: " +
                                     std::generic_category().message(EAGAIN)});
  EXPECT_FALSE(daemon->catalogUpdateRunning());
  backgroundFails = false;
  runAfterFileEvent();
  EXPECT_EQ(heldBack.size(), 1u);
}

TEST_F(DaemonRefreshTest, ACatalogStoreThatCannotBeReadCountsAsNoCatalog) {
  Daemon::Collaborators s = collaborators();
  s.verifiedCatalogInstalled = [](const Environment&) -> bool {
    throw std::runtime_error("unreadable");
  };
  daemon = Daemon::create(loop, log, s);
  daemon->start();
  loop.runReady();
  finishRefreshes();
  runAfterFileEvent();
  EXPECT_EQ(heldBack.size(), 1u) << "no catalog: a refresh at every run";
}

TEST_F(DaemonRefreshTest, TheDownloadRunsOffTheLoopThreadAndItsOutcomeComesBackOnIt) {
  catalogInstalled = true;
  std::vector<std::thread> threads;
  std::thread::id downloadThread;
  bool downloadOnLoop = true;
  // The download waits until the run that started it is over.
  std::promise<void> runOver;
  std::shared_future<void> gate = runOver.get_future().share();
  Daemon::Collaborators s = collaborators();
  s.runInBackground = [&threads](std::function<void()> work) {
    threads.emplace_back(std::move(work));
  };
  s.updateCatalog = [&, gate](const CatalogStore&, const URL&, const std::optional<std::string>&) {
    gate.wait();
    downloadThread = std::this_thread::get_id();
    downloadOnLoop = loop.onLoopThread();
    return UpdateResult::updated("2.0");
  };
  daemon = Daemon::create(loop, log, s);
  daemon->start();
  loop.runReady();
  runOver.set_value();
  const bool arrived = loop.waitForPosted(std::chrono::seconds(30));
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(arrived);
  EXPECT_TRUE(daemon->catalogUpdateRunning()) << "the outcome is not handled off the loop";
  loop.runReady();
  EXPECT_FALSE(daemon->catalogUpdateRunning());
  EXPECT_NE(downloadThread, std::this_thread::get_id());
  EXPECT_FALSE(downloadOnLoop);
  EXPECT_EQ(runTimes(), (std::vector<double>{0, 0}));
  EXPECT_EQ(threads.size(), 1u);
}

}  // namespace
}  // namespace tavra::test
