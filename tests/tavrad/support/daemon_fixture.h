// The daemon under fakes, in virtual time: a manual event loop, a memory logger, a reconcile
// pass that records when it ran and returns a report and left files the test sets, a catalog
// store that says what the test wants, refreshes held back until the test lets them finish, and
// watches and file statuses at the canonical path's place below a scratch tree.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "support/temp_tree.h"
#include "tavra/platform/logger.h"
#include "tavra/platform/manual_event_loop.h"
#include "tavrad/daemon.h"

namespace tavra::test {

using namespace std::chrono_literals;

class DaemonTest : public ::testing::Test {
 protected:
  using UpdateResult = CatalogStore::UpdateResult;
  // What the next download gives: a result, or an exception to throw.
  using UpdateOutcome = std::variant<UpdateResult, std::exception_ptr>;

  struct UpdateCall {
    std::string storeDirectory;
    std::string url;
    std::optional<std::string> pin;
  };

  DaemonTest();
  ~DaemonTest() override;

  // Builds the daemon (reading the settings once) and starts it; nothing has run yet.
  void start();
  // The collaborators the daemon gets; tests may change them before start().
  Daemon::Collaborators collaborators();

  // Virtual seconds since the loop was made.
  double seconds() const;
  // Moves virtual time on to `at` seconds, running what falls due.
  void advanceTo(double at);
  // The virtual times of the passes, in seconds.
  std::vector<double> runTimes() const;
  std::vector<std::string> lines() const { return log->texts(); }
  std::vector<std::string> linesAt(Logger::Level level) const;
  void clearLines() { log->clear(); }

  // Lets the held-back refreshes run (on the test thread), then delivers their outcome.
  void finishRefreshes();
  // A report whose harnesses list `outputs` (one harness "h<i>" per entry).
  static StatusReport reportWith(std::vector<std::vector<std::string>> outputs);

  // The scratch place of a canonical path, and making a file or folder there.
  std::string local(const std::string& canonicalPath) const { return tree.root() + canonicalPath; }
  void makeFile(const std::string& canonicalPath) const;
  void makeFolder(const std::string& canonicalPath) const;
  // A change to the watched object at a canonical path, queued on the loop.
  void changed(const std::string& canonicalPath) { loop.changed(local(canonicalPath)); }
  // Writes the file at a canonical path as a pass does, and records what it left there.
  void passWrites(const std::string& canonicalPath, const std::string& bytes = "policy");
  // Records the file at a canonical path as the pass found it, or no file.
  void passFinds(const std::string& canonicalPath);

  TempTree tree;
  PosixFileSystem files;
  ManualEventLoop loop;
  std::shared_ptr<MemoryLogger> log =
      std::make_shared<MemoryLogger>("com.zelkorandin.tavra", "daemon");

  // What the fakes return and record.
  TavraSettings settings;
  int settingsReads = 0;
  StatusReport report;
  // What the pass left, handed to the daemon with the report; set again by every pass that
  // writes (duringPass).
  FileApplier::LeftFiles left;
  std::function<void()> duringPass;
  bool passThrows = false;
  std::vector<EventLoop::Duration> passes;
  bool catalogInstalled = false;
  std::deque<UpdateOutcome> updateOutcomes;
  std::vector<UpdateCall> updateCalls;
  std::vector<std::function<void()>> heldBack;
  bool backgroundFails = false;
  std::vector<std::string> watchRequests;
  std::vector<int> exits;
  uid_t uid = 0;
  // The wall clock: a fixed date plus virtual time plus this shift.
  std::chrono::seconds clockShift{0};

  std::shared_ptr<Daemon> daemon;
};

}  // namespace tavra::test
