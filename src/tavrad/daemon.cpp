#include "tavrad/daemon.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "tavra/constants.h"
#include "tavra/error.h"
#include "tavra/path_policy.h"

namespace tavra {

namespace {

// What the reapply timer adds to its deadline for coalescing.
constexpr auto timerLeeway = std::chrono::seconds(30);
// The delays of the triggers, in seconds.
constexpr double immediately = 0;
constexpr double afterSettling = 2;
// How far later triggers may put off a pending run past the time its first trigger set.
constexpr auto longestPostponement = std::chrono::seconds(10);

}  // namespace

std::shared_ptr<Daemon> Daemon::create(EventLoop& loop, std::shared_ptr<Logger> log,
                                       Collaborators collaborators) {
  return std::shared_ptr<Daemon>(new Daemon(loop, std::move(log), std::move(collaborators)));
}

Daemon::Daemon(EventLoop& loop, std::shared_ptr<Logger> log, Collaborators collaborators)
    : queue_(loop), log_(std::move(log)), collaborators_(std::move(collaborators)) {
  settings_ = collaborators_.readSettings();
}

Daemon::~Daemon() = default;

EventLoop::Duration Daemon::timerPeriod(double seconds) noexcept {
  // Just under the largest count of nanoseconds, so the conversion cannot overflow.
  constexpr double longest = 9.2e9;
  if (!(seconds < longest)) return EventLoop::maxDuration;
  if (seconds <= 0) return EventLoop::Duration::zero();
  return std::chrono::duration_cast<EventLoop::Duration>(std::chrono::duration<double>(seconds));
}

std::string Daemon::parentPath(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const std::size_t slash = trimmed.rfind('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return trimmed.substr(0, slash);
}

EventLoop::Task Daemon::weakly(void (Daemon::*member)()) {
  return [self = weak_from_this(), member] {
    if (auto daemon = self.lock()) ((*daemon).*member)();
  };
}

void Daemon::start() {
  const uid_t uid = collaborators_.realUserID();
  log_->log("tavrad " + std::string(Constants::version) + " starting (uid " + std::to_string(uid) +
            ")");
  if (uid != 0) log_->error("tavrad must run as root; outputs will fail");

  for (int signal : {SIGHUP, SIGTERM, SIGINT}) {
    signalSources_.push_back(queue_.onSignal(signal, [self = weak_from_this(), signal] {
      if (auto daemon = self.lock()) daemon->onSignal(signal);
    }));
  }
  profileNotification_ = queue_.onProfileChange(
      std::string(Constants::profileListChangedNotification), [self = weak_from_this()] {
        if (auto daemon = self.lock()) {
          daemon->log_->log("configuration profiles changed");
          daemon->scheduleRun(afterSettling);
        }
      });
  queue_.post([self = weak_from_this()] {
    if (auto daemon = self.lock()) daemon->scheduleRun(immediately);
  });
}

void Daemon::onSignal(int signal) {
  if (signal == SIGHUP) {
    log_->log("SIGHUP: re-applying");
    // The next run finds a catalog refresh due.
    lastCatalogCheck_.reset();
    scheduleRun(immediately);
    return;
  }
  // A change whose window is still open is said now or never.
  sayOpenChanges();
  log_->log("terminating");
  collaborators_.exit(0);
}

void Daemon::scheduleRun(double delaySeconds) {
  const EventLoop::Duration delay = timerPeriod(delaySeconds);
  if (!runPending_) {
    // The last trigger wins, but only so far: a writer who keeps an output's folder churning
    // must not hold back every run (the timer's too) for as long as the churn lasts.
    runPending_ = true;
    const EventLoop::Duration latest = delay < EventLoop::maxDuration - longestPostponement
                                           ? delay + longestPostponement
                                           : EventLoop::maxDuration;
    runDeadline_ = queue_.schedule(latest, weakly(&Daemon::runNow));
  }
  // Replacing the handle cancels the run still waiting (nothing, when it already ran).
  pendingRun_ = queue_.schedule(delay, weakly(&Daemon::runNow));
}

void Daemon::runNow() {
  if (!queue_.onLoopThread()) {
    std::fputs("tavrad: a run was started outside the daemon's queue\n", stderr);
    std::abort();
  }
  // Brought here by the pending run or by its deadline: the other one goes.
  runPending_ = false;
  pendingRun_.cancel();
  runDeadline_.cancel();
  // The changes this run answers are said before it, not after its summary.
  sayOpenChanges();
  const double previousInterval = settings_.reapplyInterval;
  std::optional<std::vector<std::string>> paths;
  FileApplier::LeftFiles left;
  try {
    settings_ = collaborators_.readSettings();
    const Environment environment = collaborators_.environment(settings_);
    refreshCatalogIfDue(environment);
    Reconciler::Outcome outcome = collaborators_.reconcile(environment, settings_);
    log_->log(outcome.report.summary());
    // The outputs of the report, and every file the pass kept in line: a frozen harness's
    // re-asserted files are in no report.
    paths.emplace();
    for (const auto& harness : outcome.report.harnesses) {
      paths->insert(paths->end(), harness.outputs.begin(), harness.outputs.end());
    }
    for (const auto& [key, file] : outcome.left) paths->push_back(key.text());
    left = std::move(outcome.left);
  } catch (const std::exception& error) {
    // A pass reports its own failures and does not throw; should one fail outright anyway, the
    // daemon goes on and keeps watching what it watched.
    log_->error("run failed: " + describe(error));
  } catch (...) {
    log_->error("run failed: unknown error");
  }
  if (!timer_ || previousInterval != settings_.reapplyInterval) armTimer();
  rearmWatchers(paths ? *paths : std::vector<std::string>(watchList_));
  checkWhatThePassLeft(left);
}

void Daemon::armTimer() {
  timer_.cancel();
  const EventLoop::Duration period = timerPeriod(settings_.reapplyInterval);
  timer_ = queue_.repeat(period, timerLeeway, [self = weak_from_this()] {
    if (auto daemon = self.lock()) daemon->scheduleRun(immediately);
  });
}

bool Daemon::refreshDue() const {
  if (!lastCatalogCheck_) return true;
  const double elapsed =
      std::chrono::duration<double>(collaborators_.now() - *lastCatalogCheck_).count();
  // A clock set back leaves the time since the last check unknown: check now rather than wait
  // for the clock to catch up with the old time.
  if (elapsed < 0) return true;
  return elapsed >= settings_.catalogRefreshInterval;
}

void Daemon::refreshCatalogIfDue(const Environment& environment) {
  bool verified = false;
  try {
    verified = collaborators_.verifiedCatalogInstalled(environment);
  } catch (...) {
    // A store that cannot be read holds no catalog.
  }
  if (catalogUpdateRunning_) return;
  // Without a verified catalog the interval is not consulted: every run tries again.
  if (verified && !refreshDue()) return;

  catalogUpdateRunning_ = true;
  lastCatalogCheck_ = collaborators_.now();
  auto work = [store = environment.catalogStore, url = settings_.catalogURL,
               pin = settings_.catalogPinnedVersion, update = collaborators_.updateCatalog,
               loop = &queue_, self = weak_from_this()] {
    RefreshOutcome outcome;
    try {
      outcome.result = update(store, url, pin);
    } catch (const std::exception& error) {
      outcome.error = describe(error);
    } catch (...) {
      outcome.error = "unknown error";
    }
    loop->post([self, outcome = std::move(outcome)] {
      if (auto daemon = self.lock()) daemon->refreshFinished(outcome);
    });
  };
  try {
    collaborators_.runInBackground(std::move(work));
  } catch (const std::exception& error) {
    refreshFinished({std::nullopt, describe(error)});
  }
}

void Daemon::refreshFinished(const RefreshOutcome& outcome) {
  catalogUpdateRunning_ = false;
  if (!outcome.result) {
    log_->error("catalog update failed: " + outcome.error);
    return;
  }
  if (outcome.result->kind == CatalogStore::UpdateResult::Kind::updated) {
    log_->log("catalog updated to " + outcome.result->version);
    scheduleRun(immediately);
  } else {
    log_->info("catalog " + outcome.result->version + " is current");
  }
}

void Daemon::rearmWatchers(const std::vector<std::string>& paths) {
  // Events still waiting on the old watches (the run's own writes among them) go with them.
  for (Watcher& watcher : watchers_) watcher.source.cancel();
  watchers_.clear();

  std::set<std::string> wanted{std::string(Constants::managedPreferencesDirectory)};
  for (const std::string& path : paths) {
    const std::string canonical = PathPolicy::canonical(path);
    wanted.insert(canonical);
    wanted.insert(parentPath(canonical));
  }
  std::set<std::string> watched;
  std::set<std::string> unwatchable;
  const auto open = [&](const std::string& path) {
    if (watched.contains(path)) return true;
    if (unwatchable.contains(path)) return false;
    std::error_code error;
    EventLoop::Handle source;
    try {
      source = collaborators_.openWatch(
          path,
          [self = weak_from_this(), path] {
            if (auto daemon = self.lock()) daemon->changeDetected(path);
          },
          error);
    } catch (...) {
      // As good as missing.
    }
    if (!source) {
      unwatchable.insert(path);
      return false;
    }
    watchers_.push_back({path, std::move(source)});
    watched.insert(path);
    return true;
  };
  for (const std::string& path : wanted) {
    if (open(path)) continue;
    // Missing, a symbolic link or unreadable: the nearest ancestor folder that can be watched
    // sees it come back (or turn from a link into a folder), and the run that follows watches it.
    for (std::string ancestor = parentPath(path); !ancestor.empty();
         ancestor = parentPath(ancestor)) {
      if (open(ancestor) || ancestor == "/") break;
    }
  }
  watchList_ = paths;
}

void Daemon::checkWhatThePassLeft(const FileApplier::LeftFiles& left) {
  // The new watches are in place, so a change from now on fires one. One that landed after the
  // pass wrote or checked a file and before its watch was back shows here, and only that: the
  // pass's own files are as it left them.
  for (const auto& [key, file] : left) {
    std::optional<fs::FileStatus> now;
    try {
      now = collaborators_.fileStatus(key.text());
    } catch (...) {
      continue;
    }
    const bool asLeft = file ? now && now->sameVersion(*file) : !now;
    if (!asLeft) changeDetected(key.text());
  }
}

void Daemon::changeDetected(const std::string& path) {
  // A storm of events gives one line per path and window, not one per event.
  ChangeWindow& window = changeWindows_[path];
  if (window.events++ == 0) {
    window.close = queue_.schedule(timerPeriod(afterSettling), [self = weak_from_this(), path] {
      if (auto daemon = self.lock()) daemon->closeChangeWindow(path);
    });
  }
  scheduleRun(afterSettling);
}

void Daemon::closeChangeWindow(const std::string& path) {
  const auto found = changeWindows_.find(path);
  if (found == changeWindows_.end()) return;
  const int events = found->second.events;
  // The handle of the task now running goes once the task is over.
  EventLoop::Handle closing = std::move(found->second.close);
  changeWindows_.erase(found);
  sayChange(path, events);
}

void Daemon::sayOpenChanges() {
  // Dropping the windows cancels their closing; a change after this opens a window anew.
  std::map<std::string, ChangeWindow> open;
  open.swap(changeWindows_);
  for (const auto& [path, window] : open) sayChange(path, window.events);
}

void Daemon::sayChange(const std::string& path, int events) {
  std::string line = "change detected at " + path;
  if (events > 1) line += " (" + std::to_string(events) + " events)";
  log_->info(line);
}

std::vector<std::string> Daemon::watchedPaths() const {
  std::vector<std::string> paths;
  for (const Watcher& watcher : watchers_) paths.push_back(watcher.path);
  return paths;
}

}  // namespace tavra
