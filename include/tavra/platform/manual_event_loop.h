// ManualEventLoop: an EventLoop in virtual time, for tests.
//
// Nothing runs by itself and nothing ever sleeps: advance(by) moves the clock forward and runs
// every task that falls due on the way, in order of due time (ties in the order queued), with
// the clock standing at each task's due time while it runs. Tasks queued while advancing run in
// the same call when they fall due before its end. Signals, watch events and profile changes
// are fired by hand and queued like any other work, to run at the next advance.
//
// The loop thread is the thread that created the loop, and onLoopThread() is true there only
// while advance() runs tasks. post() may be called from any thread; waitForPosted() blocks
// (bounded) until such work arrives. Watches succeed for paths that exist and are not symbolic
// links (checked with lstat), as the system loop's do.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tavra/platform/event_loop.h"

namespace tavra {

class ManualEventLoop final : public EventLoop {
 public:
  // A live repeating timer, as created.
  struct RepeatingTimer {
    Duration interval;
    Duration leeway;
  };

  ManualEventLoop();
  ~ManualEventLoop() override;

  void post(Task task) override;
  bool onLoopThread() const noexcept override;
  Handle schedule(Duration delay, Task task) override;
  Handle repeat(Duration interval, Duration leeway, Task task) override;
  Handle onSignal(int signal, Task task) override;
  Handle watch(const std::string& path, Task task, std::error_code& error) override;
  Handle onProfileChange(const std::string& name, Task task) override;
  // A manual loop is never run: use advance().
  void run() override;
  void stop() noexcept override {}

  // Virtual time since the loop was made.
  Duration now() const noexcept { return now_; }
  // Moves the clock forward by `by`, running every task due up to the new time.
  void advance(Duration by);
  // Runs what is due now.
  void runReady() { advance(Duration::zero()); }

  // Queues the tasks of every live source of `signal`.
  void raise(int signal);
  // Queues the tasks of every live watch of `path` (as given to watch()).
  void changed(const std::string& path);
  // Queues the tasks of every live profile-change source.
  void notifyProfileChange();

  // The signals of the live signal sources, in the order the sources were made.
  std::vector<int> signals() const;
  // The paths of the live watches, in the order the watches were made.
  std::vector<std::string> watchedPaths() const;
  std::vector<RepeatingTimer> repeatingTimers() const;
  std::size_t profileSources() const;
  // The notification names of the live profile-change sources, in the order they were made.
  std::vector<std::string> profileNotifications() const;

  // Blocks until work posted from any thread is waiting, or `timeout` passes; true when some is.
  bool waitForPosted(std::chrono::milliseconds timeout);

 private:
  enum class Kind { once, repeating, signal, watch, profile, posted };
  class Entry;
  struct Key {
    Duration due;
    std::uint64_t sequence;
    friend bool operator<(const Key& a, const Key& b) {
      return a.due != b.due ? a.due < b.due : a.sequence < b.sequence;
    }
  };

  void enqueue(Duration due, std::shared_ptr<Entry> entry);
  void takePosted();
  std::shared_ptr<Entry> makeSource(Kind kind, Task task);
  std::vector<std::shared_ptr<Entry>> live(Kind kind) const;

  Duration now_{0};
  std::uint64_t sequence_ = 0;
  std::map<Key, std::shared_ptr<Entry>> queue_;
  // Every source made, in order; cancelled ones are pruned as they are met.
  std::vector<std::weak_ptr<Entry>> sources_;
  std::thread::id owner_;
  std::atomic<bool> dispatching_{false};

  mutable std::mutex postedMutex_;
  std::condition_variable postedArrived_;
  std::vector<Task> posted_;
};

}  // namespace tavra
