// The composition root of tavrad: the one place that builds this machine's event loop, loggers,
// clock and the core library's production services, and the Daemon over them. Adapting the
// daemon to another way of building core objects touches this file only.
#pragma once

#include <functional>
#include <memory>
#include <thread>

#include "tavra/platform/event_loop.h"
#include "tavra/platform/logger.h"
#include "tavra/services.h"
#include "tavrad/daemon.h"

namespace tavra {

// Runs one piece of work at a time on a thread of its own. Starting new work first joins the
// thread of the previous work, so callers start it only once that work is done (the daemon's
// catalog refresh runs one at a time). The destructor waits for the work at hand.
class BackgroundThread {
 public:
  BackgroundThread() = default;
  ~BackgroundThread();
  BackgroundThread(const BackgroundThread&) = delete;
  BackgroundThread& operator=(const BackgroundThread&) = delete;

  // Throws std::system_error when no thread can be started.
  void run(std::function<void()> work);

 private:
  std::thread thread_;
};

// What the daemon calls on this machine, over `loop` and the library's services `core`: settings
// from the managed-preferences folder (root-owned files only), the system environment, reconcile
// passes, the catalog store's cache and download, watches and file statuses at this machine's
// location of each canonical path, refreshes on `background`, the clock, getuid and an
// immediate exit.
Daemon::Collaborators daemonCollaborators(EventLoop& loop, BackgroundThread& background,
                                          const Services& core);

// Everything tavrad runs on, built once by main.
class SystemDaemon {
 public:
  SystemDaemon();
  ~SystemDaemon();
  SystemDaemon(const SystemDaemon&) = delete;
  SystemDaemon& operator=(const SystemDaemon&) = delete;

  Daemon& daemon() noexcept { return *daemon_; }
  // Runs the loop for good.
  void run() { loop_->run(); }

 private:
  // Declared in this order so that the daemon goes first, then the refresh thread (whose work
  // posts to the loop), then the loop.
  Services core_;
  std::unique_ptr<EventLoop> loop_;
  BackgroundThread background_;
  std::shared_ptr<Daemon> daemon_;
};

}  // namespace tavra
