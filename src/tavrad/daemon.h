// Daemon: the controller of tavrad. It keeps the managed harness files in line with policy by
// running one reconcile pass per trigger: at start, on SIGHUP, on its reapply timer, when the
// configuration profiles change, when the managed-preferences folder or a managed file changes,
// and after a catalog refresh installed a new catalog. Triggers that come close together are
// folded into one run: the last one wins, but a run is never put off more than ten seconds past
// the time its first trigger set. Beside the runs it refreshes the installed catalog on its own
// interval, one download at a time, off the loop thread.
//
// Watches: after every run the daemon replaces its watches, so that the events of the run's own
// writes go with the old ones. A change that landed while the run went on is not lost with
// them: once the new watches are in place, every file the pass kept in line is compared with
// what the pass left there, and one that differs counts as a change. A path that cannot be
// watched (missing, a link) is covered by a watch of its nearest existing ancestor folder. The
// change line of a path is said once per window of the debounce delay, with the number of
// events folded into it, so a storm of events gives a few lines, not one per event; a window
// still open when a run starts or the daemon terminates is said then.
//
// Threading: everything runs on the event loop's thread; the daemon takes no locks. The only
// work elsewhere is the catalog download, which hands its outcome back to the loop. The daemon
// owns its sources (timer, watches, signals, pending run, profile notification); destroying it
// cancels them all. It must be owned by a std::shared_ptr (create()); its handlers hold it
// weakly and do nothing once it is gone.
//
// Collaborators come in through Daemon::Collaborators, so that tests run the daemon in virtual
// time with fakes; the production set is built by the composition root (system_daemon.h). No
// operation throws: a failing pass, refresh or watch is logged or skipped and the daemon goes on.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "tavra/catalog_store.h"
#include "tavra/environment.h"
#include "tavra/file_applier.h"
#include "tavra/iso8601.h"
#include "tavra/platform/event_loop.h"
#include "tavra/platform/file_system.h"
#include "tavra/platform/logger.h"
#include "tavra/reconciler.h"
#include "tavra/settings.h"
#include "tavra/status_report.h"
#include "tavra/url.h"

namespace tavra {

class Daemon : public std::enable_shared_from_this<Daemon> {
 public:
  // What the daemon calls to reach the core library and the machine: the composition root builds
  // them over the library's Services, tests give fakes.
  struct Collaborators {
    // The settings from the settings domain (defaults when they cannot be read).
    std::function<TavraSettings()> readSettings;
    // The production environment for the settings.
    std::function<Environment(const TavraSettings&)> environment;
    // One reconcile pass, inventory included, with what it left at the files it kept in line.
    std::function<Reconciler::Outcome(const Environment&, const TavraSettings&)> reconcile;
    // Whether the environment's catalog store holds a verified catalog.
    std::function<bool(const Environment&)> verifiedCatalogInstalled;
    // Downloads and installs a catalog; called off the loop thread.
    std::function<CatalogStore::UpdateResult(const CatalogStore&, const URL&,
                                             const std::optional<std::string>& pinnedVersion)>
        updateCatalog;
    // Watches a path given in canonical form.
    std::function<EventLoop::Handle(const std::string& canonicalPath, EventLoop::Task,
                                    std::error_code&)>
        openWatch;
    // The status of the file at a canonical path, reached without following any link; nothing
    // when no file is there (or it cannot be reached).
    std::function<std::optional<fs::FileStatus>(const std::string& canonicalPath)> fileStatus;
    // Runs work on another thread. The work must be finished before the loop goes.
    std::function<void(std::function<void()>)> runInBackground;
    // The wall clock.
    std::function<Date()> now;
    // The real user id of the process.
    std::function<uid_t()> realUserID;
    // Ends the process at once with the status.
    std::function<void(int)> exit;
  };

  // Builds the daemon; reads the settings once. `log` takes the daemon's own lines (category
  // "daemon").
  static std::shared_ptr<Daemon> create(EventLoop& loop, std::shared_ptr<Logger> log,
                                        Collaborators collaborators);
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // Logs the start lines, installs the signal and profile triggers and queues the first run.
  // Called once, on the loop thread, before the loop runs.
  void start();
  // Debounce: cancels the pending run and schedules one `delaySeconds` from now, but no later
  // than ten seconds past the time the first trigger of the pending run set.
  void scheduleRun(double delaySeconds);
  // One run. Must run on the loop thread; anything else is a programming error and aborts.
  void runNow();

  // What the daemon holds, for inspection.
  const TavraSettings& settings() const noexcept { return settings_; }
  std::optional<Date> lastCatalogCheck() const noexcept { return lastCatalogCheck_; }
  bool catalogUpdateRunning() const noexcept { return catalogUpdateRunning_; }
  // The paths of the current watches, in the order they were made.
  std::vector<std::string> watchedPaths() const;

  // The timer period for an interval in seconds: held within what the loop's timers can count.
  static EventLoop::Duration timerPeriod(double seconds) noexcept;
  // The folder of a path: its last component removed ("/" for a path right under the root).
  static std::string parentPath(const std::string& path);

 private:
  struct Watcher {
    std::string path;
    EventLoop::Handle source;
  };
  // The change lines of one path: said once per window, with the events folded into it.
  struct ChangeWindow {
    int events = 0;
    EventLoop::Handle close;
  };
  // The outcome of a refresh: its result, or the text of its error.
  struct RefreshOutcome {
    std::optional<CatalogStore::UpdateResult> result;
    std::string error;
  };

  Daemon(EventLoop& loop, std::shared_ptr<Logger> log, Collaborators collaborators);

  void armTimer();
  void refreshCatalogIfDue(const Environment& environment);
  bool refreshDue() const;
  void refreshFinished(const RefreshOutcome& outcome);
  void rearmWatchers(const std::vector<std::string>& paths);
  // Every file that is no longer as the pass left it counts as changed.
  void checkWhatThePassLeft(const FileApplier::LeftFiles& left);
  // A watch event, or a change found after a run: logged once per window, and a run soon.
  void changeDetected(const std::string& path);
  void closeChangeWindow(const std::string& path);
  // Says the line of every window still open and closes it.
  void sayOpenChanges();
  void sayChange(const std::string& path, int events);
  void onSignal(int signal);
  // A task for the loop that calls `member` on the daemon while it exists.
  EventLoop::Task weakly(void (Daemon::*member)());

  EventLoop& queue_;
  std::shared_ptr<Logger> log_;
  Collaborators collaborators_;
  EventLoop::Handle timer_;
  std::vector<Watcher> watchers_;
  std::vector<EventLoop::Handle> signalSources_;
  EventLoop::Handle pendingRun_;
  // Whether a run is waiting, and the latest time it may start however many triggers follow.
  bool runPending_ = false;
  EventLoop::Handle runDeadline_;
  TavraSettings settings_;
  // Absent: the distant past, before any real time.
  std::optional<Date> lastCatalogCheck_;
  bool catalogUpdateRunning_ = false;
  EventLoop::Handle profileNotification_;
  // The paths the current watches were made for, kept for a pass that fails outright.
  std::vector<std::string> watchList_;
  std::map<std::string, ChangeWindow> changeWindows_;
};

}  // namespace tavra
