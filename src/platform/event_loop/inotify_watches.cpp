#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "libuv_event_loop.h"
#include "posix_file.h"

namespace tavra::uvloop {

namespace {

// A file: written, extended, attributes, deleted, renamed. A directory: entries created,
// deleted, renamed in or out or written, attributes, the directory itself deleted or renamed.
// A final symbolic link is never followed.
constexpr std::uint32_t watchMask = IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                    IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW;

// Reads per wake-up before the loop gets to its other work; the descriptor stays readable, so
// the rest comes on the next turn. A flood of events can therefore never hold the loop.
constexpr int readsPerWake = 16;

}  // namespace

class InotifyWatches::WatchSource final : public EventLoop::Source {
 public:
  WatchSource(InotifyWatches& owner, int descriptor, EventLoop::Task task)
      : owner_(&owner), descriptor_(descriptor), task_(std::move(task)) {}

  void cancel() noexcept override {
    if (cancelled_) return;
    cancelled_ = true;
    if (owner_ != nullptr) owner_->release(this);
  }

  void fire() noexcept {
    if (!cancelled_) runTask(task_);
  }

  // The kernel dropped the watch (the object went, or the loop is shutting down).
  void detach(bool ownerGone) noexcept {
    descriptor_ = -1;
    if (ownerGone) owner_ = nullptr;
  }

  int descriptor() const noexcept { return descriptor_; }
  bool cancelled() const noexcept { return cancelled_; }

 private:
  InotifyWatches* owner_;
  int descriptor_;
  EventLoop::Task task_;
  bool cancelled_ = false;
};

InotifyWatches::InotifyWatches(uv_loop_t* loop) : loop_(loop) {}

InotifyWatches::~InotifyWatches() = default;

EventLoop::Handle InotifyWatches::add(const std::string& path, EventLoop::Task task,
                                      std::error_code& error) {
  if (!inotify_) {
    inotify_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify_) {
      error = fs::lastError();
      return {};
    }
    if (int rc = uv_poll_init(loop_, &poll_, inotify_.get()); rc != 0) {
      inotify_.reset();
      error = std::error_code(-rc, std::generic_category());
      return {};
    }
    poll_.data = this;
    polling_ = true;
    uv_poll_start(&poll_, UV_READABLE, &InotifyWatches::onReadable);
  }
  // inotify would watch a link itself; a link is not watched at all.
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    error = fs::lastError();
    return {};
  }
  if (S_ISLNK(info.st_mode)) {
    error = std::make_error_code(std::errc::too_many_symbolic_link_levels);
    return {};
  }
  const int descriptor = inotify_add_watch(inotify_.get(), path.c_str(), watchMask);
  if (descriptor < 0) {
    error = fs::lastError();
    return {};
  }
  error.clear();
  auto source = std::make_shared<WatchSource>(*this, descriptor, std::move(task));
  byDescriptor_[descriptor].push_back(source);
  return EventLoop::Handle(source);
}

void InotifyWatches::release(WatchSource* source) noexcept {
  const int descriptor = source->descriptor();
  auto found = byDescriptor_.find(descriptor);
  if (descriptor < 0 || found == byDescriptor_.end()) return;
  std::erase_if(found->second, [source](const auto& held) { return held.get() == source; });
  if (found->second.empty()) {
    byDescriptor_.erase(found);
    // Events still queued for this descriptor find no source and are dropped.
    inotify_rm_watch(inotify_.get(), descriptor);
  }
}

void InotifyWatches::forget(int descriptor) noexcept {
  auto found = byDescriptor_.find(descriptor);
  if (found == byDescriptor_.end()) return;
  // The kernel may hand the number out again; these sources must never remove that watch.
  for (auto& source : found->second) source->detach(false);
  byDescriptor_.erase(found);
}

void InotifyWatches::shutdown() noexcept {
  for (auto& [descriptor, sources] : byDescriptor_) {
    for (auto& source : sources) source->detach(true);
  }
  byDescriptor_.clear();
  if (polling_) {
    polling_ = false;
    uv_close(reinterpret_cast<uv_handle_t*>(&poll_), nullptr);
  }
}

void InotifyWatches::onReadable(uv_poll_t* poll, int status, int /*events*/) {
  if (status < 0) return;
  static_cast<InotifyWatches*>(poll->data)->readEvents();
}

void InotifyWatches::readEvents() noexcept {
  // The sources to fire, each once per wake-up however many events it had, in the order met.
  std::vector<std::shared_ptr<WatchSource>> due;
  auto add = [&due](const std::shared_ptr<WatchSource>& source) {
    if (std::find(due.begin(), due.end(), source) == due.end()) due.push_back(source);
  };
  for (int reads = 0; reads < readsPerWake; ++reads) {
    const ssize_t got = ::read(inotify_.get(), buffer_, sizeof buffer_);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    for (std::size_t at = 0; at + sizeof(inotify_event) <= std::size_t(got);) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer_ + at);
      at += sizeof(inotify_event) + event->len;
      if (event->mask & IN_Q_OVERFLOW) {
        // Events were lost: any watched object may have changed.
        for (auto& [descriptor, sources] : byDescriptor_) {
          for (auto& source : sources) add(source);
        }
        continue;
      }
      if (auto found = byDescriptor_.find(event->wd); found != byDescriptor_.end()) {
        for (auto& source : found->second) add(source);
      }
      if (event->mask & IN_IGNORED) forget(event->wd);
    }
  }
  // A task may cancel sources that are still due; those stay quiet.
  for (auto& source : due) {
    if (!source->cancelled()) source->fire();
  }
}

}  // namespace tavra::uvloop
