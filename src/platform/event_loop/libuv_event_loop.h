// This machine's EventLoop over libuv, and the inotify watches it polls. Internal to the
// event-loop library; callers use makeSystemEventLoop().
#pragma once

#include <sys/inotify.h>
#include <uv.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tavra/platform/event_loop.h"
#include "tavra/platform/file_system.h"

namespace tavra::uvloop {

class LibuvEventLoop;

// A source that owns one libuv handle. libuv frees nothing itself and needs the handle's memory
// until its close callback, so once active the source keeps itself alive until then; the
// loop's teardown closes whatever is still open.
class HandleSource : public EventLoop::Source, public std::enable_shared_from_this<HandleSource> {
 public:
  HandleSource(LibuvEventLoop& loop, EventLoop::Task task) : loop_(&loop), task_(std::move(task)) {}
  void cancel() noexcept override { close(); }
  void close() noexcept;

 protected:
  LibuvEventLoop& owner() noexcept { return *loop_; }
  // Registers with the loop and keeps the source alive until libuv lets go of the handle.
  void activate();
  void fire() noexcept;
  virtual uv_handle_t* handle() noexcept = 0;
  // Called just after the handle is closed.
  virtual void closed() noexcept {}

 private:
  static void onClose(uv_handle_t* handle);

  LibuvEventLoop* loop_;
  EventLoop::Task task_;
  bool closed_ = false;
  std::shared_ptr<HandleSource> self_;
};

// A set of file watches of one loop: one inotify descriptor, read when the loop finds it
// readable. Several sources may watch one inode (inotify hands out one watch descriptor per
// inode); the kernel watch goes, with its queued events, when the last of them is cancelled, so
// a source made for the inode while another still holds it may get events from before it was
// made.
class InotifyWatches {
 public:
  class WatchSource;
  class FolderSource;

  // One event of a watched object: its inotify mask, and for an entry of a watched directory
  // the entry's name and the cookie that pairs the two halves of a rename.
  struct Event {
    std::uint32_t mask = 0;
    std::string_view name;
    std::uint32_t cookie = 0;
  };
  // Whether an event fires a watch; called on the loop thread in the order the events came, and
  // must not add or cancel watches. When the kernel lost events (IN_Q_OVERFLOW, no name) every
  // filter is told, and every watch fires whatever its filter says.
  using Filter = std::function<bool(const Event&)>;

  explicit InotifyWatches(uv_loop_t* loop);
  ~InotifyWatches();
  InotifyWatches(const InotifyWatches&) = delete;
  InotifyWatches& operator=(const InotifyWatches&) = delete;

  // A watch with the Mac's semantics (EventLoop::watch), or one that `filter` decides on.
  EventLoop::Handle add(const std::string& path, EventLoop::Task task, std::error_code& error,
                        Filter filter = {});
  // Runs `task` when the folder at `folder` appears, goes, or its entries change (files put
  // there by the atomic write excepted), watching its nearest existing ancestor while it is
  // missing. Never fails: a folder with no ancestor to watch is looked for again never.
  EventLoop::Handle followFolder(const std::string& folder, EventLoop::Task task);
  // Closes the poll handle (its memory stays valid until the loop has run its close callback)
  // and leaves every source inert.
  void shutdown() noexcept;

 private:
  friend class WatchSource;
  bool start(std::error_code& error);
  void release(WatchSource* source) noexcept;
  void forget(int descriptor) noexcept;
  void readEvents() noexcept;
  static void onReadable(uv_poll_t* poll, int status, int events);

  uv_loop_t* loop_;
  fs::FileDescriptor inotify_;
  uv_poll_t poll_{};
  bool polling_ = false;
  std::unordered_map<int, std::vector<std::shared_ptr<WatchSource>>> byDescriptor_;
  alignas(inotify_event) char buffer_[64 * 1024];
};

class LibuvEventLoop final : public EventLoop {
 public:
  // `notificationFolders`: see makeSystemEventLoop().
  explicit LibuvEventLoop(std::map<std::string, std::string> notificationFolders = {});
  ~LibuvEventLoop() override;

  void post(Task task) override;
  bool onLoopThread() const noexcept override;
  Handle schedule(Duration delay, Task task) override;
  Handle repeat(Duration interval, Duration leeway, Task task) override;
  Handle onSignal(int signal, Task task) override;
  Handle watch(const std::string& path, Task task, std::error_code& error) override;
  Handle onProfileChange(const std::string& name, Task task) override;
  void run() override;
  void stop() noexcept override;

  uv_loop_t* loop() noexcept { return &loop_; }
  void adopt(HandleSource* source) { live_.insert(source); }
  void release(HandleSource* source) noexcept { live_.erase(source); }

 private:
  static void onWake(uv_async_t* async);
  void runPosted();
  InotifyWatches& watches(std::unique_ptr<InotifyWatches>& set);

  uv_loop_t loop_{};
  uv_async_t wake_{};
  std::atomic<std::thread::id> loopThread_;
  std::atomic<bool> stopRequested_{false};
  std::mutex postedMutex_;
  std::vector<Task> posted_;
  std::unordered_set<HandleSource*> live_;
  std::unique_ptr<InotifyWatches> watches_;
  std::unique_ptr<InotifyWatches> notificationWatches_;
  std::map<std::string, std::string> notificationFolders_;
};

// Runs a task, swallowing what it throws: an exception must not unwind through libuv.
void runTask(const EventLoop::Task& task) noexcept;

// A libuv result code (a negative errno value) as the system's error.
std::system_error uvError(int code, const std::string& context);

}  // namespace tavra::uvloop
