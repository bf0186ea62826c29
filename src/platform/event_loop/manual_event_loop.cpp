#include "tavra/platform/manual_event_loop.h"

#include <sys/stat.h>

#include <algorithm>
#include <stdexcept>

#include "posix_file.h"
#include "tavra/platform/file_system.h"

namespace tavra {

// One source, or one piece of posted work. The queue holds entries; an entry cancelled while it
// waits there is skipped when it comes up.
class ManualEventLoop::Entry final : public EventLoop::Source {
 public:
  Entry(Kind kind, Task task) : kind(kind), task(std::move(task)) {}
  void cancel() noexcept override { cancelled = true; }

  const Kind kind;
  Task task;
  bool cancelled = false;
  Duration interval{0};
  Duration leeway{0};
  int signal = 0;
  std::string path;  // of a watch; the notification's name for a profile-change source
};

namespace {

// `a` + `b`, held at the largest duration instead of overflowing.
EventLoop::Duration later(EventLoop::Duration a, EventLoop::Duration b) {
  if (b > EventLoop::Duration::zero() && a > EventLoop::maxDuration - b) {
    return EventLoop::maxDuration;
  }
  return a + b;
}

}  // namespace

ManualEventLoop::ManualEventLoop() : owner_(std::this_thread::get_id()) {}

ManualEventLoop::~ManualEventLoop() = default;

void ManualEventLoop::post(Task task) {
  {
    std::lock_guard lock(postedMutex_);
    posted_.push_back(std::move(task));
  }
  postedArrived_.notify_all();
}

bool ManualEventLoop::onLoopThread() const noexcept {
  return dispatching_ && std::this_thread::get_id() == owner_;
}

std::shared_ptr<ManualEventLoop::Entry> ManualEventLoop::makeSource(Kind kind, Task task) {
  auto entry = std::make_shared<Entry>(kind, std::move(task));
  std::erase_if(sources_, [](const std::weak_ptr<Entry>& e) {
    auto held = e.lock();
    return !held || held->cancelled;
  });
  sources_.push_back(entry);
  return entry;
}

std::vector<std::shared_ptr<ManualEventLoop::Entry>> ManualEventLoop::live(Kind kind) const {
  std::vector<std::shared_ptr<Entry>> found;
  for (const auto& weak : sources_) {
    auto entry = weak.lock();
    if (entry && !entry->cancelled && entry->kind == kind) found.push_back(std::move(entry));
  }
  return found;
}

void ManualEventLoop::enqueue(Duration due, std::shared_ptr<Entry> entry) {
  queue_.emplace(Key{due, sequence_++}, std::move(entry));
}

EventLoop::Handle ManualEventLoop::schedule(Duration delay, Task task) {
  auto entry = makeSource(Kind::once, std::move(task));
  enqueue(later(now_, std::max(delay, Duration::zero())), entry);
  return Handle(entry);
}

EventLoop::Handle ManualEventLoop::repeat(Duration interval, Duration leeway, Task task) {
  auto entry = makeSource(Kind::repeating, std::move(task));
  entry->interval = std::max(interval, Duration(1));
  entry->leeway = leeway;
  enqueue(later(now_, entry->interval), entry);
  return Handle(entry);
}

EventLoop::Handle ManualEventLoop::onSignal(int signal, Task task) {
  auto entry = makeSource(Kind::signal, std::move(task));
  entry->signal = signal;
  return Handle(entry);
}

EventLoop::Handle ManualEventLoop::watch(const std::string& path, Task task,
                                         std::error_code& error) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    error = fs::lastError();
    return Handle();
  }
  if (S_ISLNK(info.st_mode)) {
    error = std::make_error_code(std::errc::too_many_symbolic_link_levels);
    return Handle();
  }
  error.clear();
  auto entry = makeSource(Kind::watch, std::move(task));
  entry->path = path;
  return Handle(entry);
}

EventLoop::Handle ManualEventLoop::onProfileChange(const std::string& name, Task task) {
  auto entry = makeSource(Kind::profile, std::move(task));
  entry->path = name;
  return Handle(entry);
}

void ManualEventLoop::run() {
  throw std::logic_error("a manual event loop is driven by advance(), not run()");
}

void ManualEventLoop::takePosted() {
  std::vector<Task> arrived;
  {
    std::lock_guard lock(postedMutex_);
    arrived.swap(posted_);
  }
  for (Task& task : arrived) enqueue(now_, std::make_shared<Entry>(Kind::posted, std::move(task)));
}

void ManualEventLoop::advance(Duration by) {
  const Duration end = later(now_, std::max(by, Duration::zero()));
  dispatching_ = true;
  for (;;) {
    takePosted();
    if (queue_.empty() || queue_.begin()->first.due > end) break;
    auto next = queue_.extract(queue_.begin());
    std::shared_ptr<Entry> entry = std::move(next.mapped());
    now_ = std::max(now_, next.key().due);
    if (entry->cancelled) continue;
    if (entry->kind == Kind::repeating) enqueue(later(now_, entry->interval), entry);
    // The task is kept alive by the entry while it runs, even if it cancels its own source.
    try {
      entry->task();
    } catch (...) {
      // Tasks must not throw; the loop carries on as the system loop does.
    }
  }
  now_ = end;
  dispatching_ = false;
}

void ManualEventLoop::raise(int signal) {
  for (auto& entry : live(Kind::signal)) {
    if (entry->signal == signal) enqueue(now_, entry);
  }
}

void ManualEventLoop::changed(const std::string& path) {
  for (auto& entry : live(Kind::watch)) {
    if (entry->path == path) enqueue(now_, entry);
  }
}

void ManualEventLoop::notifyProfileChange() {
  for (auto& entry : live(Kind::profile)) enqueue(now_, entry);
}

std::vector<int> ManualEventLoop::signals() const {
  std::vector<int> found;
  for (const auto& entry : live(Kind::signal)) found.push_back(entry->signal);
  return found;
}

std::vector<std::string> ManualEventLoop::watchedPaths() const {
  std::vector<std::string> found;
  for (const auto& entry : live(Kind::watch)) found.push_back(entry->path);
  return found;
}

std::vector<ManualEventLoop::RepeatingTimer> ManualEventLoop::repeatingTimers() const {
  std::vector<RepeatingTimer> found;
  for (const auto& entry : live(Kind::repeating)) found.push_back({entry->interval, entry->leeway});
  return found;
}

std::size_t ManualEventLoop::profileSources() const {
  return live(Kind::profile).size();
}

std::vector<std::string> ManualEventLoop::profileNotifications() const {
  std::vector<std::string> found;
  for (const auto& entry : live(Kind::profile)) found.push_back(entry->path);
  return found;
}

bool ManualEventLoop::waitForPosted(std::chrono::milliseconds timeout) {
  std::unique_lock lock(postedMutex_);
  return postedArrived_.wait_for(lock, timeout, [this] { return !posted_.empty(); });
}

}  // namespace tavra
