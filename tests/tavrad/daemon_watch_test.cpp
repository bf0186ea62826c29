// The file watches: which paths, in which order, and that they are replaced after every run.
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "tavrad/support/daemon_fixture.h"

namespace tavra::test {
namespace {

using Level = Logger::Level;

class DaemonWatchTest : public DaemonTest {
 protected:
  const std::string prefs = "/Library/Managed Preferences";

  void runOnce() {
    start();
    loop.runReady();
  }
};

TEST_F(DaemonWatchTest, TheExampleOutputsGiveTheirCanonicalPathsAndFolderInSortedOrder) {
  report = reportWith({{"/etc/codex/config.toml", "/etc/codex/other.toml"}});
  makeFile("/private/etc/codex/config.toml");
  makeFile("/private/etc/codex/other.toml");
  runOnce();
  const std::vector<std::string> expected{
      "/Library/Managed Preferences",
      "/private/etc/codex",
      "/private/etc/codex/config.toml",
      "/private/etc/codex/other.toml",
  };
  EXPECT_EQ(watchRequests, expected);
  EXPECT_EQ(daemon->watchedPaths(), expected);
}

TEST_F(DaemonWatchTest, OutputsOfAllHarnessesAreWatchedOnceEach) {
  report = reportWith({{"/Library/Application Support/ClaudeCode/managed-settings.json"},
                       {},
                       {"/Library/Application Support/ClaudeCode/managed-settings.json",
                        "/Library/Application Support/ClaudeCode/other.json"}});
  makeFile("/Library/Application Support/ClaudeCode/managed-settings.json");
  makeFile("/Library/Application Support/ClaudeCode/other.json");
  runOnce();
  EXPECT_EQ(watchRequests, (std::vector<std::string>{
                               "/Library/Application Support/ClaudeCode",
                               "/Library/Application Support/ClaudeCode/managed-settings.json",
                               "/Library/Application Support/ClaudeCode/other.json",
                               "/Library/Managed Preferences",
                           }));
}

TEST_F(DaemonWatchTest, ASymbolicLinkOutputIsNotWatchedAndAMissingOneIsWatchedThroughItsFolder) {
  report = reportWith({{"/Library/Application Support/opencode/linked.json",
                        "/Library/Application Support/opencode/missing.json"}});
  makeFile("/elsewhere/target.json");
  makeFolder("/Library/Application Support/opencode");
  ASSERT_EQ(symlink(local("/elsewhere/target.json").c_str(),
                    local("/Library/Application Support/opencode/linked.json").c_str()),
            0);
  runOnce();
  EXPECT_EQ(watchRequests.size(), 4u);
  EXPECT_EQ(daemon->watchedPaths(), (std::vector<std::string>{
                                        "/Library/Application Support/opencode",
                                        "/Library/Managed Preferences",
                                    }));
  // The folder's watch sees the missing file appear.
  makeFile("/Library/Application Support/opencode/missing.json");
  changed("/Library/Application Support/opencode");
  advanceTo(2);
  EXPECT_EQ(runTimes(), (std::vector<double>{0, 2}));
  EXPECT_EQ(daemon->watchedPaths().size(), 3u) << "the new file is watched after the run";
}

TEST_F(DaemonWatchTest, AFileEventLogsThePathAndRunsTwoSecondsLater) {
  report = reportWith({{"/Library/Application Support/GeminiCli/settings.json"}});
  makeFile("/Library/Application Support/GeminiCli/settings.json");
  runOnce();
  log->clear();
  changed("/Library/Application Support/GeminiCli/settings.json");
  advanceTo(1.9);
  EXPECT_EQ(runTimes().size(), 1u);
  EXPECT_TRUE(log->lines().empty()) << "said once the window of the event closes";
  advanceTo(2);
  EXPECT_EQ(runTimes(), (std::vector<double>{0, 2}));
  // The line comes just before the run's summary.
  ASSERT_EQ(log->lines().size(), 2u);
  EXPECT_EQ(
      log->lines()[0],
      (MemoryLogger::Line{
          Level::info, "change detected at /Library/Application Support/GeminiCli/settings.json"}));
}

TEST_F(DaemonWatchTest, EventsFromTheRunsOwnWritesStartNoFurtherRun) {
  const std::string output = "/Library/Application Support/ClaudeCode/managed-settings.json";
  report = reportWith({{output}});
  makeFile(output);
  runOnce();
  // Every later pass writes the output and its folder, as a real pass does.
  duringPass = [this, output] {
    changed(output);
    changed(Daemon::parentPath(output));
    changed(prefs);
  };
  loop.raise(SIGHUP);
  loop.runReady();
  advanceTo(600);
  EXPECT_EQ(runTimes(), (std::vector<double>{0, 0}));
  EXPECT_TRUE(linesAt(Level::info).empty());
}

TEST_F(DaemonWatchTest, TheWatchesFollowTheOutputsOfTheLatestRun) {
  makeFile("/Library/Application Support/opencode/a.json");
  makeFile("/Library/Application Support/GeminiCli/b.json");
  report = reportWith({{"/Library/Application Support/opencode/a.json"}});
  runOnce();
  report = reportWith({{"/Library/Application Support/GeminiCli/b.json"}});
  loop.raise(SIGHUP);
  loop.runReady();
  EXPECT_EQ(daemon->watchedPaths(), (std::vector<std::string>{
                                        "/Library/Application Support/GeminiCli",
                                        "/Library/Application Support/GeminiCli/b.json",
                                        "/Library/Managed Preferences",
                                    }));
  changed("/Library/Application Support/opencode/a.json");
  advanceTo(60);
  EXPECT_EQ(runTimes().size(), 2u) << "the old output is no longer watched";
}

TEST_F(DaemonWatchTest, AWatchedPathThatVanishesIsWatchedThroughItsNearestExistingAncestor) {
  const std::string output = "/Library/Application Support/opencode/opencode.json";
  const std::string folder = Daemon::parentPath(output);
  report = reportWith({{output}});
  makeFile(output);
  runOnce();
  std::filesystem::remove_all(local(folder));
  changed(output);
  advanceTo(2);
  EXPECT_EQ(runTimes(), (std::vector<double>{0, 2}));
  EXPECT_EQ(daemon->watchedPaths(),
            (std::vector<std::string>{"/Library/Application Support", prefs}));
  std::filesystem::remove_all(local(prefs));
  loop.raise(SIGHUP);
  loop.runReady();
  EXPECT_EQ(daemon->watchedPaths(),
            (std::vector<std::string>{"/Library/Application Support", "/Library"}));
  EXPECT_EQ(runTimes().size(), 3u);

  // Both come back; the ancestors' watches see it, and the runs they cause watch them again.
  makeFolder(prefs);
  changed("/Library");
  advanceTo(10);
  EXPECT_EQ(runTimes().size(), 4u);
  EXPECT_EQ(daemon->watchedPaths(),
            (std::vector<std::string>{"/Library/Application Support", prefs}));
  makeFile(output);
  changed("/Library/Application Support");
  advanceTo(20);
  EXPECT_EQ(runTimes().size(), 5u);
  EXPECT_EQ(daemon->watchedPaths(), (std::vector<std::string>{folder, output, prefs}));
}

TEST_F(DaemonWatchTest, AFolderTurnedIntoALinkIsWatchedThroughItsParentUntilItIsAFolderAgain) {
  const std::string output = "/Library/Application Support/opencode/opencode.json";
  const std::string folder = Daemon::parentPath(output);
  report = reportWith({{output}});
  makeFile(output);
  makeFolder("/elsewhere/opencode");
  runOnce();
  std::filesystem::remove_all(local(folder));
  ASSERT_EQ(symlink(local("/elsewhere/opencode").c_str(), local(folder).c_str()), 0);
  changed(folder);
  advanceTo(2);
  EXPECT_EQ(daemon->watchedPaths(),
            (std::vector<std::string>{"/Library/Application Support", prefs}));
  // Back to a folder: the parent's watch starts the run that watches the folder and file again.
  std::filesystem::remove(local(folder));
  makeFile(output);
  changed("/Library/Application Support");
  advanceTo(4);
  EXPECT_EQ(runTimes(), (std::vector<double>{0, 2, 4}));
  EXPECT_EQ(daemon->watchedPaths(), (std::vector<std::string>{folder, output, prefs}));
}

TEST_F(DaemonWatchTest, AWatchThatCannotBeOpenedIsSkippedSilently) {
  Daemon::Collaborators s = collaborators();
  s.openWatch = [](const std::string& path, EventLoop::Task,
                   std::error_code&) -> EventLoop::Handle {
    throw std::runtime_error("cannot watch " + path);
  };
  report = reportWith({{"/a/b.json"}});
  daemon = Daemon::create(loop, log, s);
  daemon->start();
  loop.runReady();
  EXPECT_TRUE(daemon->watchedPaths().empty());
  EXPECT_TRUE(linesAt(Level::error).empty());
}

TEST(DaemonPathTest, ParentPathRemovesTheLastComponent) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"/private/etc/codex/config.toml", "/private/etc/codex"},
      {"/config.toml", "/"},
      {"/", "/"},
      {"/a/b/", "/a"},
      {"relative", ""},
      {"", ""},
  };
  for (const auto& [path, parent] : cases) EXPECT_EQ(Daemon::parentPath(path), parent) << path;
}

}  // namespace
}  // namespace tavra::test
