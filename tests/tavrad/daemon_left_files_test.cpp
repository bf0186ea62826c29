// The files a pass kept in line: a change that lands while the run goes on is noticed once the
// watches are back, the daemon's own writes are not, and every such file is watched.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "tavrad/support/daemon_fixture.h"

namespace tavra::test {
namespace {

using Level = Logger::Level;

class DaemonLeftFilesTest : public DaemonTest {
 protected:
  const std::string output = "/Library/Application Support/ClaudeCode/managed-settings.json";
  const std::string prefs = "/Library/Managed Preferences";

  // Someone else's file in its place, by rename (a new file), as a user who can write the
  // folder would put i
  void replace(const std::string& canonicalPath, const std::string& bytes = "user") {
    const std::string spare = local(canonicalPath) + ".user";
    std::ofstream(spare, std::ios::trunc) << bytes;
    std::filesystem::rename(spare, local(canonicalPath));
  }
};

TEST_F(DaemonLeftFilesTest, AFileReplacedDuringARunIsNoticedAndPutRightTwoSecondsLater) {
  report = reportWith({{output}});
  int pass = 0;
  duringPass = [&] {
    passWrites(output);
    // The user replaces the file right after the first pass wrote it, before the run is over:
    // the event goes with the watches that the run replaces.
    if (++pass == 1) {
      replace(output);
      changed(output);
    }
  };
  start();
  loop.runReady();
  advanceTo(600);
  EXPECT_EQ(runTimes(), (std::vector<double>{0, 2}));
  EXPECT_EQ(linesAt(Level::info), std::vector<std::string>{"change detected at " + output});
  EXPECT_EQ(readFile(local(output)), "policy");
}

TEST_F(DaemonLeftFilesTest, EveryKindOfChangeDuringARunCounts) {
  struct Case {
    std::string name;
    std::function<void()> change;
  };
  const std::vector<Case> cases{
      {"replaced with the same bytes", [this] { replace(output, "policy"); }},
      {"written in place", [this] { std::ofstream(local(output), std::ios::trunc) << "policz"; }},
      {"chmodded", [this] { ASSERT_EQ(chmod(local(output).c_str(), 0666), 0); }},
      {"deleted", [this] { std::filesystem::remove(local(output)); }},
      {"replaced by a link",
       [this] {
         std::filesystem::remove(local(output));
         makeFile("/elsewhere/target.json");
         ASSERT_EQ(symlink(local("/elsewhere/target.json").c_str(), local(output).c_str()), 0);
       }},
  };
  for (const Case& c : cases) {
    report = reportWith({{output}});
    passes.clear();
    int pass = 0;
    duringPass = [&] {
      passWrites(output);
      if (++pass == 1) c.change();
    };
    start();
    loop.runReady();
    advanceTo(seconds() + 600);
    ASSERT_EQ(passes.size(), 2u) << c.name;
    EXPECT_EQ(passes[1] - passes[0], std::chrono::seconds(2)) << c.name;
    daemon.reset();
    std::filesystem::remove_all(local("/Library/Application Support"));
  }
}

TEST_F(DaemonLeftFilesTest, TheRunsOwnWritesAndFilesFoundInOrderStartNothing) {
  report = reportWith({{output, "/Library/Application Support/ClaudeCode/kept.json"}});
  makeFile("/Library/Application Support/ClaudeCode/kept.json");
  duringPass = [&] {
    // Written anew by every pass, and found in order by every pass.
    passWrites(output);
    passFinds("/Library/Application Support/ClaudeCode/kept.json");
    changed(output);
    changed(Daemon::parentPath(output));
  };
  start();
  loop.runReady();
  loop.raise(SIGHUP);
  loop.runReady();
  advanceTo(600);
  EXPECT_EQ(runTimes(), (std::vector<double>{0, 0}));
  EXPECT_TRUE(linesAt(Level::info).empty());
}

TEST_F(DaemonLeftFilesTest, FilesThePassDidNotKeepInLineNeverMakeItLoop) {
  // A file out of line that the pass could not write (nothing left for it), a dry run that
  // found a file as it was (left as found), a frozen harness's file that the pass did not touch:
  // each stays out of line, and no run follows another.
  struct Case {
    std::string name;
    std::function<void()> pass;
  };
  const std::vector<Case> cases{
      {"write failed", [this] { left.erase(FileKey(output)); }},
      {"dry run", [this] { passFinds(output); }},
      {"dry run of a missing file",
       [this] {
         std::filesystem::remove(local(output));
         passFinds(output);
       }},
      {"frozen and untouched",
       [this] {
         report = reportWith({{}});
         left.clear();
       }},
  };
  for (const Case& c : cases) {
    makeFile(output);
    report = reportWith({{output}});
    left.clear();
    passes.clear();
    duringPass = [&] { c.pass(); };
    start();
    loop.runReady();
    advanceTo(seconds() + 1000);
    // The first run and the timer's tick 900 s later: nothing in between.
    EXPECT_EQ(passes.size(), 2u) << c.name;
    EXPECT_TRUE(linesAt(Level::info).empty()) << c.name;
    daemon.reset();
    clearLines();
  }
}

TEST_F(DaemonLeftFilesTest, TheFilesAPassReassertedAreWatchedThoughTheReportListsNoOutputs) {
  // A frozen harness's files are in no report (a fragment is unreadable), yet the pass keeps
  // them in line: a hand edit of one is put right at once, not at the timer.
  report = reportWith({{}});
  report.harnesses[0].state = StatusReport::HarnessState::degraded;
  duringPass = [&] { passWrites(output); };
  start();
  loop.runReady();
  EXPECT_EQ(daemon->watchedPaths(),
            (std::vector<std::string>{Daemon::parentPath(output), output, prefs}));
  changed(output);
  advanceTo(2);
  EXPECT_EQ(runTimes(), (std::vector<double>{0, 2}));
}

}  // namespace
}  // namespace tavra::test
