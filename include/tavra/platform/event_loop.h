// EventLoop: the daemon's one serial queue of work.
//
// Everything the daemon does runs as a task on one loop thread, one task at a time, so the
// daemon's state needs no locks. Work arrives from timers (one-shot and repeating), signals,
// file-system watches and system notifications (the configuration-profile change), and from
// other threads through post() (the hand-back of work finished elsewhere).
//
// Threading: post(), stop() and onLoopThread() may be called from any thread. Everything else,
// including cancelling or dropping a Handle, belongs to the loop thread (or, before run(), to the
// thread that will call it). Every handle must be dropped or cancelled before its loop is
// destroyed; a handle that outlives its loop anyway is inert and safe to drop.
//
// Cancelling: a source that is cancelled never calls its task again, and work it had already
// queued but not yet run is dropped. Tasks must not throw; an exception that escapes a task is
// swallowed so the loop keeps running.
//
// makeSystemEventLoop() is this machine's loop (libuv; inotify for watches). ManualEventLoop
// (manual_event_loop.h) runs in virtual time for tests.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <system_error>

namespace tavra {

class EventLoop {
 public:
  using Duration = std::chrono::nanoseconds;
  using Task = std::function<void()>;

  // The longest delay or period a loop accepts; longer ones are the caller's to clamp.
  static constexpr Duration maxDuration = Duration::max();

  // What a handle controls: one timer, signal source, watch or notification registration.
  class Source {
   public:
    virtual ~Source() = default;
    // Stops the source for good; cancelling again does nothing.
    virtual void cancel() noexcept = 0;
  };

  // The move-only owner of one source: cancels it when cancelled, reassigned or destroyed. An
  // empty handle owns nothing.
  class Handle {
   public:
    Handle() noexcept = default;
    explicit Handle(std::shared_ptr<Source> source) noexcept : source_(std::move(source)) {}
    Handle(Handle&& other) noexcept = default;
    Handle& operator=(Handle&& other) noexcept;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { cancel(); }

    void cancel() noexcept;
    explicit operator bool() const noexcept { return source_ != nullptr; }

   private:
    std::shared_ptr<Source> source_;
  };

  EventLoop() = default;
  virtual ~EventLoop() = default;
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Queues `task` to run on the loop thread as soon as it gets there. Any thread.
  virtual void post(Task task) = 0;
  // Whether the caller is the loop thread, running the loop's work. Any thread.
  virtual bool onLoopThread() const noexcept = 0;

  // Runs `task` once, `delay` from now.
  virtual Handle schedule(Duration delay, Task task) = 0;
  // Runs `task` every `interval`, the first time `interval` from now. The loop may run it up to
  // `leeway` late to save wake-ups.
  virtual Handle repeat(Duration interval, Duration leeway, Task task) = 0;
  // Takes `signal` away from its default action: from now on it is ignored by the process and
  // delivered only as `task` on the loop. It stays ignored after the handle is cancelled.
  virtual Handle onSignal(int signal, Task task) = 0;
  // Watches the file or directory at `path` (never through a final symbolic link), as a Mac's
  // file-system-object source does. A directory's watch fires when its entries change (an
  // entry created, deleted, or renamed or moved in or out) and when the directory itself
  // changes (its attributes, or it is deleted or renamed); writes to the files in it and
  // changes of their attributes do not fire it. A file's watch fires when the file is written,
  // extended or truncated, its attributes change, or it is deleted or renamed. Several events
  // that arrive together may fire the task once. On failure (missing, a symbolic link, not
  // readable) the handle is empty and `error` says why.
  virtual Handle watch(const std::string& path, Task task, std::error_code& error) = 0;
  // Runs `task` each time the system posts the notification called `name` (on a Mac,
  // "com.apple.ManagedConfiguration.profileListChanged" when the installed configuration
  // profiles change). A name the loop does not know gives a source that never fires.
  virtual Handle onProfileChange(const std::string& name, Task task) = 0;

  // Runs the loop on the calling thread until stop(); the daemon never stops it.
  virtual void run() = 0;
  // Makes run() return after the task at hand. Any thread.
  virtual void stop() noexcept = 0;
};

// This machine's loop: libuv for the queue, timers, signals and cross-thread wake-ups, one
// inotify descriptor polled by the loop for the watches. This machine posts no notifications;
// `notificationFolders` names, for each notification the loop stands in for, the folder whose
// changes post it: the source fires when that folder appears, goes, or its entries change
// (watching its nearest existing ancestor while it is missing). A file put in that folder by
// the system's atomic write (a rename from one of its temporary files) posts nothing, as no
// configuration profile is installed that way. Throws std::system_error when the loop cannot
// be set up.
std::unique_ptr<EventLoop> makeSystemEventLoop(
    std::map<std::string, std::string> notificationFolders = {});

}  // namespace tavra
