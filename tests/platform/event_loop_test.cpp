// This machine's loop (libuv, inotify), run for real: every wait ends with an event or with the
// guard timer that stops a loop that would otherwise hang.
#include "tavra/platform/event_loop.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/temp_tree.h"
#include "tavra/platform/file_system.h"

namespace tavra {
namespace {

using namespace std::chrono_literals;
using test::TempTree;

void append(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::app) << text;
}

class EventLoopTest : public ::testing::Test {
 protected:
  std::unique_ptr<EventLoop> loop = makeSystemEventLoop();
  bool timedOut = false;

  // Runs the loop until a task stops it; a loop still running after 20 s is stopped and the
  // test fails.
  void run() {
    auto guard = loop->schedule(20s, [this] {
      timedOut = true;
      loop->stop();
    });
    loop->run();
    EXPECT_FALSE(timedOut) << "the loop was stopped by its guard";
  }
  // Stops the loop once everything the kernel has queued by now has had time to arrive.
  EventLoop::Handle stopAfter(std::chrono::milliseconds delay) {
    return loop->schedule(delay, [this] { loop->stop(); });
  }
};

TEST_F(EventLoopTest, ScheduledWorkRunsOnTheLoopThreadNoEarlierThanItsDelay) {
  const auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration waited{};
  bool onLoop = false;
  auto handle = loop->schedule(30ms, [&] {
    waited = std::chrono::steady_clock::now() - start;
    onLoop = loop->onLoopThread();
    loop->stop();
  });
  run();
  EXPECT_GE(waited, 30ms);
  EXPECT_TRUE(onLoop);
}

TEST_F(EventLoopTest, CancelledOrReplacedWorkNeverRuns) {
  std::vector<std::string> ran;
  auto cancelled = loop->schedule(5ms, [&] { ran.push_back("cancelled"); });
  cancelled.cancel();
  auto replaced = loop->schedule(5ms, [&] { ran.push_back("replaced"); });
  replaced = loop->schedule(10ms, [&] { ran.push_back("replacement"); });
  {
    auto dropped = loop->schedule(5ms, [&] { ran.push_back("dropped"); });
  }
  auto stop = stopAfter(50ms);
  run();
  EXPECT_EQ(ran, std::vector<std::string>{"replacement"});
}

TEST_F(EventLoopTest, RepeatingTimerTicksUntilCancelled) {
  int ticks = 0;
  EventLoop::Handle timer;
  EventLoop::Handle stop;
  timer = loop->repeat(5ms, 0ms, [&] {
    if (++ticks < 3) return;
    timer.cancel();
    stop = stopAfter(40ms);
  });
  run();
  EXPECT_EQ(ticks, 3);
}

TEST_F(EventLoopTest, WorkPostedFromOtherThreadsRunsOnTheLoopThread) {
  constexpr int threads = 4;
  constexpr int each = 200;
  int count = 0;  // touched on the loop thread only
  std::atomic<bool> allOnLoop{true};
  std::atomic<bool> postersOnLoop{false};
  std::vector<std::thread> posters;
  for (int t = 0; t < threads; ++t) {
    posters.emplace_back([&] {
      if (loop->onLoopThread()) postersOnLoop = true;
      for (int i = 0; i < each; ++i) {
        loop->post([&] {
          if (!loop->onLoopThread()) allOnLoop = false;
          if (++count == threads * each) loop->stop();
        });
      }
    });
  }
  run();
  for (auto& poster : posters) poster.join();
  EXPECT_EQ(count, threads * each);
  EXPECT_TRUE(allOnLoop);
  EXPECT_FALSE(postersOnLoop);
}

TEST_F(EventLoopTest, ATaskThatThrowsDoesNotStopTheLoop) {
  auto bad = loop->schedule(1ms, [] { throw std::runtime_error("bad task"); });
  bool after = false;
  auto good = loop->schedule(20ms, [&] {
    after = true;
    loop->stop();
  });
  run();
  EXPECT_TRUE(after);
}

TEST_F(EventLoopTest, SignalsArriveAsLoopWorkAndStayIgnoredAfterwards) {
  int received = 0;
  EventLoop::Handle source = loop->onSignal(SIGHUP, [&] {
    ++received;
    loop->stop();
  });
  auto raiser = loop->schedule(1ms, [] { raise(SIGHUP); });
  run();
  EXPECT_EQ(received, 1);
  source.cancel();
  // No source takes it any more, and the process is not ended by it.
  raise(SIGHUP);
  struct sigaction current {};
  ASSERT_EQ(sigaction(SIGHUP, nullptr, &current), 0);
  EXPECT_EQ(current.sa_handler, SIG_IGN);
}

TEST_F(EventLoopTest, ANotificationTheLoopDoesNotStandInForNeverFires) {
  bool fired = false;
  EventLoop::Handle source = loop->onProfileChange("example.unknown", [&] { fired = true; });
  EXPECT_TRUE(source);
  auto stop = stopAfter(10ms);
  run();
  EXPECT_FALSE(fired);
}

class WatchTest : public EventLoopTest {
 protected:
  TempTree tree;
  std::string dir = tree.mkdir("dir");
  std::string file = tree.write("dir/file", "one");

  EventLoop::Handle watch(const std::string& path, EventLoop::Task task) {
    std::error_code error;
    EventLoop::Handle handle = loop->watch(path, std::move(task), error);
    EXPECT_TRUE(handle) << path << ": " << error.message();
    return handle;
  }
  // Runs `change` on the loop and returns how often the watch of `path` fired within 300 ms.
  int firesOn(const std::string& path, const std::function<void()>& change) {
    int fired = 0;
    auto source = watch(path, [&] { ++fired; });
    auto act = loop->schedule(1ms, change);
    auto stop = stopAfter(300ms);
    run();
    return fired;
  }
};

TEST_F(WatchTest, FileWatchFiresOnEachKindOfChange) {
  const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> changes{
      {"write", [](const std::string& p) { append(p, "more"); }},
      {"truncate", [](const std::string& p) { ASSERT_EQ(truncate(p.c_str(), 1), 0); }},
      {"attributes", [](const std::string& p) { ASSERT_EQ(chmod(p.c_str(), 0600), 0); }},
      {"rename",
       [](const std::string& p) { ASSERT_EQ(rename(p.c_str(), (p + ".new").c_str()), 0); }},
      {"delete", [](const std::string& p) { ASSERT_EQ(unlink(p.c_str()), 0); }},
  };
  for (const auto& [name, change] : changes) {
    const std::string path = tree.write("file-" + name, "content");
    EXPECT_GE(firesOn(path, [&, change = change] { change(path); }), 1) << name;
  }
}

TEST_F(WatchTest, DirectoryWatchFiresForItsEntriesAndItselfNotForTheFilesInIt) {
  // As on a Mac: the folder's own list of entries and its own attributes, never what is
  // written to a file in it.
  const std::string elsewhere = tree.mkdir("elsewhere");
  struct Case {
    std::string name;
    std::function<void()> change;
    bool fires;
  };
  const std::vector<Case> cases{
      {"append to an entry", [&] { append(file, "more"); }, false},
      {"truncate an entry", [&] { ASSERT_EQ(truncate(file.c_str(), 1), 0); }, false},
      {"chmod an entry", [&] { ASSERT_EQ(chmod(file.c_str(), 0600), 0); }, false},
      {"touch an entry", [&] { ASSERT_EQ(utimes(file.c_str(), nullptr), 0); }, false},
      {"create", [&] { tree.write("dir/new", "x"); }, true},
      {"rename entry", [&] { ASSERT_EQ(rename(file.c_str(), (dir + "/renamed").c_str()), 0); },
       true},
      {"move out",
       [&] { ASSERT_EQ(rename((dir + "/renamed").c_str(), (elsewhere + "/out").c_str()), 0); },
       true},
      {"move in",
       [&] { ASSERT_EQ(rename((elsewhere + "/out").c_str(), (dir + "/back").c_str()), 0); }, true},
      {"delete entry", [&] { ASSERT_EQ(unlink((dir + "/new").c_str()), 0); }, true},
      {"create a folder", [&] { tree.mkdir("dir/sub"); }, true},
      {"entry of a subfolder", [&] { tree.write("dir/sub/deeper", "x"); }, false},
      {"attributes", [&] { ASSERT_EQ(chmod(dir.c_str(), 0700), 0); }, true},
  };
  for (const Case& c : cases) {
    const int fired = firesOn(dir, c.change);
    if (c.fires) {
      EXPECT_GE(fired, 1) << c.name;
    } else {
      EXPECT_EQ(fired, 0) << c.name;
    }
  }
}

TEST_F(WatchTest, DirectoryWatchFiresWhenTheDirectoryGoes) {
  const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> changes{
      {"rename",
       [](const std::string& d) { ASSERT_EQ(rename(d.c_str(), (d + ".old").c_str()), 0); }},
      {"delete", [](const std::string& d) { ASSERT_EQ(rmdir(d.c_str()), 0); }},
  };
  for (const auto& [name, change] : changes) {
    const std::string path = tree.mkdir("gone-" + name);
    EXPECT_GE(firesOn(path, [&, change = change] { change(path); }), 1) << name;
  }
}

TEST_F(WatchTest, NothingFiresWithoutAChange) {
  EXPECT_EQ(firesOn(dir, [] {}), 0);
}

TEST_F(WatchTest, MissingPathsAndSymbolicLinksAreNotWatched) {
  ASSERT_EQ(symlink(file.c_str(), tree.path("link").c_str()), 0);
  ASSERT_EQ(symlink(dir.c_str(), tree.path("dirlink").c_str()), 0);
  const std::vector<std::pair<std::string, std::errc>> cases{
      {tree.path("missing"), std::errc::no_such_file_or_directory},
      {tree.path("link"), std::errc::too_many_symbolic_link_levels},
      {tree.path("dirlink"), std::errc::too_many_symbolic_link_levels},
      {"", std::errc::no_such_file_or_directory},
  };
  for (const auto& [path, expected] : cases) {
    std::error_code error;
    EXPECT_FALSE(loop->watch(
        path, [] {}, error))
        << path;
    EXPECT_EQ(error, expected) << path;
  }
}

TEST_F(WatchTest, EventsQueuedWhenAWatchIsCancelledAreDropped) {
  // The daemon's pattern: it writes, then replaces its watches before the loop reads the
  // events of those writes. Neither the old watch nor the new one of the same file may fire.
  int oldFired = 0;
  int newFired = 0;
  EventLoop::Handle old = watch(file, [&] { ++oldFired; });
  EventLoop::Handle oldDir = watch(dir, [&] { ++oldFired; });
  EventLoop::Handle replacement;
  EventLoop::Handle replacementDir;
  auto act = loop->schedule(1ms, [&] {
    append(file, "written by the run");
    tree.write("dir/another", "x");
    old.cancel();
    oldDir.cancel();
    replacement = watch(file, [&] { ++newFired; });
    replacementDir = watch(dir, [&] { ++newFired; });
  });
  auto stop = stopAfter(300ms);
  run();
  EXPECT_EQ(oldFired, 0);
  EXPECT_EQ(newFired, 0);
}

TEST_F(WatchTest, TwoWatchesOfOneFileAreIndependent) {
  int first = 0;
  int second = 0;
  EventLoop::Handle one = watch(file, [&] { ++first; });
  EventLoop::Handle two = watch(file, [&] { ++second; });
  EventLoop::Handle stop;
  auto act = loop->schedule(1ms, [&] { append(file, "a"); });
  auto later = loop->schedule(100ms, [&] {
    one.cancel();
    append(file, "b");
    stop = stopAfter(200ms);
  });
  run();
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 2);
}

TEST_F(WatchTest, AWatchOfADeletedFileStaysQuietAfterwardsAndCancelsCleanly) {
  int fired = 0;
  int firedByDelete = -1;
  EventLoop::Handle source = watch(file, [&] { ++fired; });
  EventLoop::Handle stop;
  auto act = loop->schedule(1ms, [&] { ASSERT_EQ(unlink(file.c_str()), 0); });
  auto recreate = loop->schedule(100ms, [&] {
    firedByDelete = fired;
    tree.write("dir/file", "new file at the same path");
    append(file, "more");
    stop = stopAfter(200ms);
  });
  run();
  EXPECT_GE(firedByDelete, 1);
  EXPECT_EQ(fired, firedByDelete);
  source.cancel();
}

TEST_F(WatchTest, ABurstOfEventsFiresFarFewerTimesAndLeavesTheLoopIdle) {
  int fired = 0;
  EventLoop::Handle source = watch(dir, [&] { ++fired; });
  constexpr int changes = 5000;
  auto act = loop->schedule(1ms, [&] {
    const std::string entry = dir + "/churn";
    for (int i = 0; i < changes / 2; ++i) {
      std::ofstream{entry};
      ASSERT_EQ(unlink(entry.c_str()), 0);
    }
  });
  auto stop = stopAfter(500ms);
  run();
  EXPECT_GE(fired, 1);
  EXPECT_LT(fired, changes / 10);
}

// The stand-in for a notification: the folder's comings, goings and entries.
class NotificationFolderTest : public EventLoopTest {
 protected:
  TempTree tree;
  std::string library = tree.mkdir("Library");
  std::string folder = tree.path("Library/Managed Preferences");

  NotificationFolderTest() { loop = makeSystemEventLoop({{"example.profiles", folder}}); }

  // How often the source counting in `fired` fired while `change` ran on the loop, within
  // 300 ms.
  int firesOn(int& fired, const std::function<void()>& change) {
    fired = 0;
    auto act = loop->schedule(1ms, change);
    auto stop = stopAfter(300ms);
    run();
    return fired;
  }
};

TEST_F(NotificationFolderTest, FiresWhenTheFolderAppearsGoesOrItsEntriesChange) {
  int fired = 0;
  EventLoop::Handle source = loop->onProfileChange("example.profiles", [&] { ++fired; });
  PosixFileSystem files;
  const std::string other = tree.mkdir("other");
  struct Step {
    std::string name;
    std::function<void()> change;
    bool fires;
  };
  const std::vector<Step> steps{
      {"another entry of its parent", [&] { tree.write("Library/Other", "x"); }, false},
      {"the folder appears", [&] { tree.mkdir("Library/Managed Preferences"); }, true},
      {"an entry is created", [&] { tree.write("Library/Managed Preferences/a.plist", "x"); },
       true},
      {"an entry is written", [&] { append(folder + "/a.plist", "more"); }, false},
      {"an entry is chmodded", [&] { ASSERT_EQ(chmod((folder + "/a.plist").c_str(), 0600), 0); },
       false},
      {"the atomic write puts a file in place",
       [&] { files.writeAtomically(folder + "/b.plist", "x", {.mode = 0644}); }, false},
      {"the atomic write replaces a file",
       [&] { files.writeAtomically(folder + "/a.plist", "y", {.mode = 0644}); }, false},
      {"an entry is renamed onto",
       [&] { ASSERT_EQ(rename((library + "/Other").c_str(), (folder + "/c").c_str()), 0); }, true},
      {"an entry is deleted", [&] { ASSERT_EQ(unlink((folder + "/c").c_str()), 0); }, true},
      {"the folder goes", [&] { std::filesystem::remove_all(folder); }, true},
      {"it comes back as a link", [&] { ASSERT_EQ(symlink(other.c_str(), folder.c_str()), 0); },
       false},
      {"the link turns back into a folder",
       [&] {
         ASSERT_EQ(unlink(folder.c_str()), 0);
         ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
       },
       true},
      {"its parent goes too", [&] { std::filesystem::remove_all(library); }, true},
      {"the parent comes back", [&] { tree.mkdir("Library"); }, false},
      {"and the folder", [&] { tree.mkdir("Library/Managed Preferences"); }, true},
  };
  for (const Step& step : steps) {
    const int count = firesOn(fired, step.change);
    if (step.fires) {
      EXPECT_GE(count, 1) << step.name;
    } else {
      EXPECT_EQ(count, 0) << step.name;
    }
  }
}

TEST_F(NotificationFolderTest, AWatchOfTheSameFolderStillDropsItsQueuedEventsWhenReplaced) {
  // The daemon's pattern again, with the notification following the folder all along: the
  // run's writes must not reach the watch that replaces the old one.
  tree.mkdir("Library/Managed Preferences");
  int notified = 0;
  int fired = 0;
  EventLoop::Handle source = loop->onProfileChange("example.profiles", [&] { ++notified; });
  std::error_code error;
  EventLoop::Handle old = loop->watch(
      folder, [&] { ++fired; }, error);
  ASSERT_TRUE(old);
  EventLoop::Handle replacement;
  auto act = loop->schedule(1ms, [&] {
    tree.write("Library/Managed Preferences/written-by-the-run", "x");
    old.cancel();
    replacement = loop->watch(
        folder, [&] { ++fired; }, error);
  });
  auto stop = stopAfter(300ms);
  run();
  EXPECT_TRUE(replacement);
  EXPECT_EQ(fired, 0);
  EXPECT_GE(notified, 1);
}

TEST_F(NotificationFolderTest, FollowsTheFolderStillWhenEventsWereLost) {
  // More entry changes than the kernel queues, then the folder goes: its going is lost with the
  // events after the queue filled. The source looks again, and sees the folder come back.
  std::ifstream limitFile("/proc/sys/fs/inotify/max_queued_events");
  long limit = 0;
  if (!(limitFile >> limit) || limit <= 0 || limit > 200'000) {
    GTEST_SKIP() << "the inotify queue limit cannot be read, or is too large to fill here";
  }
  tree.mkdir("Library/Managed Preferences");
  int fired = 0;
  EventLoop::Handle source = loop->onProfileChange("example.profiles", [&] { ++fired; });
  // All in one task: the loop reads nothing until the queue has overflowed.
  EXPECT_GE(firesOn(fired,
                    [&] {
                      for (long i = 0; i <= limit / 2; ++i) {
                        const std::string entry = folder + "/churn-" + std::to_string(i);
                        std::ofstream{entry};
                        ASSERT_EQ(unlink(entry.c_str()), 0);
                      }
                      std::filesystem::remove_all(folder);
                    }),
            1);
  EXPECT_GE(firesOn(fired, [&] { tree.mkdir("Library/Managed Preferences"); }), 1);
  EXPECT_GE(firesOn(fired, [&] { tree.write("Library/Managed Preferences/a.plist", "x"); }), 1);
}

TEST(EventLoopLifetimeTest, HandlesMayOutliveTheirLoop) {
  TempTree tree;
  EventLoop::Handle timer;
  EventLoop::Handle repeating;
  EventLoop::Handle signal;
  EventLoop::Handle watch;
  EventLoop::Handle profile;
  {
    auto loop = makeSystemEventLoop({{"example.profiles", tree.path("prefs")}});
    timer = loop->schedule(1h, [] {});
    repeating = loop->repeat(1h, 1s, [] {});
    signal = loop->onSignal(SIGHUP, [] {});
    std::error_code error;
    watch = loop->watch(
        tree.root(), [] {}, error);
    ASSERT_TRUE(watch);
    profile = loop->onProfileChange("example.profiles", [] {});
    loop->post([] {});
  }
  timer.cancel();
  repeating = EventLoop::Handle();
  signal.cancel();
  watch.cancel();
  profile.cancel();
}

}  // namespace
}  // namespace tavra
