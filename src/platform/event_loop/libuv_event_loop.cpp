#include "libuv_event_loop.h"

#include <csignal>
#include <cstdint>

namespace tavra::uvloop {

void runTask(const EventLoop::Task& task) noexcept {
  try {
    if (task) task();
  } catch (...) {
    // Tasks must not throw; the loop carries on.
  }
}

std::system_error uvError(int code, const std::string& context) {
  return fs::systemError(std::error_code(-code, std::generic_category()), context);
}

// ---- Sources with a libuv handle

void HandleSource::activate() {
  self_ = shared_from_this();
  loop_->adopt(this);
}

void HandleSource::fire() noexcept {
  if (!closed_) runTask(task_);
}

void HandleSource::close() noexcept {
  if (closed_) return;
  closed_ = true;
  loop_->release(this);
  handle()->data = this;
  uv_close(handle(), &HandleSource::onClose);
  closed();
}

void HandleSource::onClose(uv_handle_t* handle) {
  auto* source = static_cast<HandleSource*>(handle->data);
  // Dropping the last reference may destroy the source: take it out first.
  std::shared_ptr<HandleSource> keep = std::move(source->self_);
}

namespace {

// libuv counts timeouts in whole milliseconds from a loop time cut down to the millisecond, so a
// timer may fire up to a millisecond before its delay is over: round up and add one, so that a
// task never runs early.
std::uint64_t milliseconds(EventLoop::Duration duration) {
  if (duration <= EventLoop::Duration::zero()) return 0;
  const auto whole = std::chrono::duration_cast<std::chrono::milliseconds>(duration);
  const bool rest = whole < duration;
  return static_cast<std::uint64_t>(whole.count()) + (rest ? 1 : 0) + 1;
}

class TimerSource final : public HandleSource {
 public:
  using HandleSource::HandleSource;

  void start(std::uint64_t timeout, std::uint64_t period) {
    uv_loop_t* loop = owner().loop();
    if (int rc = uv_timer_init(loop, &timer_); rc != 0) throw uvError(rc, "uv_timer_init");
    timer_.data = this;
    activate();
    // The loop's cached time may be as old as the task now running; a delay counts from now.
    uv_update_time(loop);
    uv_timer_start(&timer_, &TimerSource::onTimer, timeout, period);
  }

 private:
  uv_handle_t* handle() noexcept override { return reinterpret_cast<uv_handle_t*>(&timer_); }
  static void onTimer(uv_timer_t* timer) { static_cast<TimerSource*>(timer->data)->fire(); }

  uv_timer_t timer_{};
};

// libuv puts a signal's default action back when its last source goes; the signal stays ignored
// instead, unless another source still takes it.
void ignoreUnlessHandled(int signal) noexcept {
  struct sigaction current {};
  if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
    std::signal(signal, SIG_IGN);
  }
}

class SignalSource final : public HandleSource {
 public:
  SignalSource(LibuvEventLoop& owner, int signal, EventLoop::Task task)
      : HandleSource(owner, std::move(task)), signal_(signal) {}

  void start() {
    if (int rc = uv_signal_init(owner().loop(), &handle_); rc != 0) {
      throw uvError(rc, "uv_signal_init");
    }
    handle_.data = this;
    activate();
    if (int rc = uv_signal_start(&handle_, &SignalSource::onSignal, signal_); rc != 0) {
      close();
      throw uvError(rc, "uv_signal_start");
    }
  }

 private:
  uv_handle_t* handle() noexcept override { return reinterpret_cast<uv_handle_t*>(&handle_); }
  static void onSignal(uv_signal_t* handle, int) {
    static_cast<SignalSource*>(handle->data)->fire();
  }

  void closed() noexcept override { ignoreUnlessHandled(signal_); }

  int signal_;
  uv_signal_t handle_{};
};

// A notification this machine does not stand in for: the source exists and never fires.
class SilentSource final : public EventLoop::Source {
 public:
  void cancel() noexcept override {}
};

}  // namespace

// ---- The loop

LibuvEventLoop::LibuvEventLoop(std::map<std::string, std::string> notificationFolders)
    : loopThread_(std::this_thread::get_id()),
      notificationFolders_(std::move(notificationFolders)) {
  if (int rc = uv_loop_init(&loop_); rc != 0) throw uvError(rc, "uv_loop_init");
  if (int rc = uv_async_init(&loop_, &wake_, &LibuvEventLoop::onWake); rc != 0) {
    uv_loop_close(&loop_);
    throw uvError(rc, "uv_async_init");
  }
  wake_.data = this;
}

LibuvEventLoop::~LibuvEventLoop() {
  // Close every handle still open, then let libuv run the close callbacks before the memory of
  // the loop goes.
  std::vector<HandleSource*> open(live_.begin(), live_.end());
  for (HandleSource* source : open) source->close();
  if (watches_) watches_->shutdown();
  if (notificationWatches_) notificationWatches_->shutdown();
  uv_close(reinterpret_cast<uv_handle_t*>(&wake_), nullptr);
  uv_run(&loop_, UV_RUN_DEFAULT);
  uv_loop_close(&loop_);
}

void LibuvEventLoop::post(Task task) {
  {
    std::lock_guard lock(postedMutex_);
    posted_.push_back(std::move(task));
  }
  uv_async_send(&wake_);
}

bool LibuvEventLoop::onLoopThread() const noexcept {
  return loopThread_.load() == std::this_thread::get_id();
}

void LibuvEventLoop::onWake(uv_async_t* async) {
  auto* self = static_cast<LibuvEventLoop*>(async->data);
  self->runPosted();
  if (self->stopRequested_.exchange(false)) uv_stop(&self->loop_);
}

void LibuvEventLoop::runPosted() {
  std::vector<Task> arrived;
  {
    std::lock_guard lock(postedMutex_);
    arrived.swap(posted_);
  }
  for (const Task& task : arrived) runTask(task);
}

EventLoop::Handle LibuvEventLoop::schedule(Duration delay, Task task) {
  auto source = std::make_shared<TimerSource>(*this, std::move(task));
  source->start(milliseconds(delay), 0);
  return Handle(source);
}

EventLoop::Handle LibuvEventLoop::repeat(Duration interval, Duration /*leeway*/, Task task) {
  // libuv timers have no leeway: ticks come on time. A period of 0 would mean "once" to libuv.
  auto source = std::make_shared<TimerSource>(*this, std::move(task));
  const std::uint64_t period = std::max<std::uint64_t>(milliseconds(interval), 1);
  source->start(period, period);
  return Handle(source);
}

EventLoop::Handle LibuvEventLoop::onSignal(int signal, Task task) {
  std::signal(signal, SIG_IGN);
  auto source = std::make_shared<SignalSource>(*this, signal, std::move(task));
  source->start();
  return Handle(source);
}

InotifyWatches& LibuvEventLoop::watches(std::unique_ptr<InotifyWatches>& set) {
  if (!set) set = std::make_unique<InotifyWatches>(&loop_);
  return *set;
}

EventLoop::Handle LibuvEventLoop::watch(const std::string& path, Task task,
                                        std::error_code& error) {
  return watches(watches_).add(path, std::move(task), error);
}

EventLoop::Handle LibuvEventLoop::onProfileChange(const std::string& name, Task task) {
  const auto folder = notificationFolders_.find(name);
  if (folder == notificationFolders_.end()) return Handle(std::make_shared<SilentSource>());
  // A descriptor of their own: inotify keeps one watch per object and descriptor, and a watch
  // that outlived the cancelling of another of the same folder would keep that one's queued
  // events for whatever watches the folder next.
  return watches(notificationWatches_).followFolder(folder->second, std::move(task));
}

void LibuvEventLoop::run() {
  loopThread_.store(std::this_thread::get_id());
  uv_run(&loop_, UV_RUN_DEFAULT);
}

void LibuvEventLoop::stop() noexcept {
  stopRequested_.store(true);
  uv_async_send(&wake_);
}

}  // namespace tavra::uvloop

namespace tavra {

std::unique_ptr<EventLoop> makeSystemEventLoop(
    std::map<std::string, std::string> notificationFolders) {
  return std::make_unique<uvloop::LibuvEventLoop>(std::move(notificationFolders));
}

}  // namespace tavra
