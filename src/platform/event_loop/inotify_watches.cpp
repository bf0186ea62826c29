#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>

#include "libuv_event_loop.h"
#include "posix_file.h"

namespace tavra::uvloop {

namespace {

// What the kernel is asked for. A directory: its entries created, deleted, renamed or moved in
// or out, its own attributes, its deletion or renaming; the writes to its files are not asked
// for at all. A file: written, extended, attributes, deleted, renamed. A final symbolic link is
// never followed.
constexpr std::uint32_t entryChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
constexpr std::uint32_t itselfGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT;
constexpr std::uint32_t directoryMask =
    entryChanges | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW | IN_ONLYDIR;
constexpr std::uint32_t fileMask =
    IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW;

// Reads per wake-up before the loop gets to its other work; the descriptor stays readable, so
// the rest comes on the next turn. A flood of events can therefore never hold the loop.
constexpr int readsPerWake = 16;

using Event = InotifyWatches::Event;

// A directory watch as a Mac's: an event with a name is one of an entry, and only a change of
// the entries counts; the attributes of the files in it (IN_ATTRIB with their name) do not.
bool directoryChanged(const Event& event) {
  if (!event.name.empty()) return (event.mask & entryChanges) != 0;
  return (event.mask & (IN_ATTRIB | itselfGone)) != 0;
}

bool fileChanged(const Event& event) {
  return (event.mask & (IN_MODIFY | IN_ATTRIB | itselfGone)) != 0;
}

std::string parentOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

// The component of `path` right below its ancestor `ancestor`.
std::string_view componentBelow(const std::string& path, const std::string& ancestor) {
  std::string_view rest(path);
  rest.remove_prefix(std::min(rest.size(), ancestor == "/" ? 1 : ancestor.size() + 1));
  return rest.substr(0, rest.find('/'));
}

}  // namespace

class InotifyWatches::WatchSource final : public EventLoop::Source {
 public:
  WatchSource(InotifyWatches& owner, int descriptor, EventLoop::Task task, Filter filter)
      : owner_(&owner),
        descriptor_(descriptor),
        task_(std::move(task)),
        filter_(std::move(filter)) {}

  void cancel() noexcept override {
    if (cancelled_) return;
    cancelled_ = true;
    if (owner_ != nullptr) owner_->release(this);
  }

  bool accepts(const Event& event) const {
    try {
      return !cancelled_ && filter_(event);
    } catch (...) {
      return false;
    }
  }

  void fire() noexcept {
    if (!cancelled_) runTask(task_);
  }

  // The kernel dropped the watch (the object went, or the loop is shutting down): nothing is
  // left to release.
  void detach() noexcept {
    descriptor_ = -1;
    owner_ = nullptr;
  }

  int descriptor() const noexcept { return descriptor_; }
  bool cancelled() const noexcept { return cancelled_; }

 private:
  InotifyWatches* owner_;
  int descriptor_;
  EventLoop::Task task_;
  Filter filter_;
  bool cancelled_ = false;
};

// A folder followed through its comings and goings: a watch of the folder while it exists, of
// its nearest existing ancestor while it does not.
class InotifyWatches::FolderSource final : public EventLoop::Source {
 public:
  FolderSource(InotifyWatches& owner, std::string folder, EventLoop::Task task)
      : owner_(&owner), folder_(std::move(folder)), task_(std::move(task)) {}

  void cancel() noexcept override {
    cancelled_ = true;
    watch_.cancel();
  }

  void arm() {
    watch_.cancel();
    watching_.clear();
    for (std::string at = folder_; !cancelled_;) {
      std::error_code error;
      const bool itself = at == folder_;
      Filter filter;
      if (itself) {
        filter = [this](const Event& event) { return folderChanged(event); };
      } else {
        filter = [this, name = std::string(componentBelow(folder_, at))](const Event& event) {
          return ancestorChanged(event, name);
        };
      }
      watch_ = owner_->add(
          at, [this] { changed(); }, error, std::move(filter));
      if (watch_) {
        watching_ = at;
        return;
      }
      if (at == "/") return;
      at = parentOf(at);
    }
  }

 private:
  bool folderChanged(const Event& event) {
    if (lostEvents(event)) return true;
    if (event.name.empty()) {
      if ((event.mask & itselfGone) == 0) return false;
      lookAgain_ = true;
      return true;
    }
    if ((event.mask & entryChanges) == 0) return false;
    // The atomic write's temporary file, and its rename onto the file it puts in place.
    if (event.name.starts_with(fs::temporaryPrefix)) {
      if (event.mask & IN_MOVED_FROM) {
        ownRenames_.push_back(event.cookie);
        if (ownRenames_.size() > 64) ownRenames_.pop_front();
      }
      return false;
    }
    if (event.mask & IN_MOVED_TO) {
      const auto own = std::find(ownRenames_.begin(), ownRenames_.end(), event.cookie);
      if (own != ownRenames_.end()) {
        ownRenames_.erase(own);
        return false;
      }
    }
    return true;
  }

  bool ancestorChanged(const Event& event, const std::string& name) {
    if (lostEvents(event)) return true;
    const bool relevant = event.name.empty()
                              ? (event.mask & itselfGone) != 0
                              : (event.mask & entryChanges) != 0 && event.name == name;
    if (relevant) lookAgain_ = true;
    return relevant;
  }

  // Lost events may have taken the folder's going, and the kernel's dropping of its watch,
  // with them: look again.
  bool lostEvents(const Event& event) {
    if ((event.mask & IN_Q_OVERFLOW) == 0) return false;
    lookAgain_ = true;
    return true;
  }

  void changed() {
    const bool wasThere = watching_ == folder_;
    if (lookAgain_ || !wasThere) arm();
    lookAgain_ = false;
    if (wasThere || watching_ == folder_) runTask(task_);
  }

  InotifyWatches* owner_;
  std::string folder_;
  EventLoop::Task task_;
  EventLoop::Handle watch_;
  std::string watching_;
  bool lookAgain_ = false;
  bool cancelled_ = false;
  std::deque<std::uint32_t> ownRenames_;
};

InotifyWatches::InotifyWatches(uv_loop_t* loop) : loop_(loop) {}

InotifyWatches::~InotifyWatches() = default;

bool InotifyWatches::start(std::error_code& error) {
  if (inotify_) return true;
  inotify_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!inotify_) {
    error = fs::lastError();
    return false;
  }
  if (int rc = uv_poll_init(loop_, &poll_, inotify_.get()); rc != 0) {
    inotify_.reset();
    error = std::error_code(-rc, std::generic_category());
    return false;
  }
  poll_.data = this;
  polling_ = true;
  uv_poll_start(&poll_, UV_READABLE, &InotifyWatches::onReadable);
  return true;
}

EventLoop::Handle InotifyWatches::add(const std::string& path, EventLoop::Task task,
                                      std::error_code& error, Filter filter) {
  if (!start(error)) return {};
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
  const bool directory = S_ISDIR(info.st_mode);
  const int descriptor =
      inotify_add_watch(inotify_.get(), path.c_str(), directory ? directoryMask : fileMask);
  if (descriptor < 0) {
    error = fs::lastError();
    return {};
  }
  if (!filter) filter = directory ? Filter(&directoryChanged) : Filter(&fileChanged);
  error.clear();
  auto source =
      std::make_shared<WatchSource>(*this, descriptor, std::move(task), std::move(filter));
  byDescriptor_[descriptor].push_back(source);
  return EventLoop::Handle(source);
}

EventLoop::Handle InotifyWatches::followFolder(const std::string& folder, EventLoop::Task task) {
  auto source = std::make_shared<FolderSource>(*this, folder, std::move(task));
  source->arm();
  return EventLoop::Handle(source);
}

void InotifyWatches::release(WatchSource* source) noexcept {
  const int descriptor = source->descriptor();
  if (descriptor < 0) return;
  auto found = byDescriptor_.find(descriptor);
  if (found == byDescriptor_.end()) return;
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
  for (auto& source : found->second) source->detach();
  byDescriptor_.erase(found);
}

void InotifyWatches::shutdown() noexcept {
  for (auto& [descriptor, sources] : byDescriptor_) {
    for (auto& source : sources) source->detach();
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
        // Events were lost: any watched object may have changed, or gone with its watch. Every
        // filter hears of it, and every watch fires.
        const Event lost{IN_Q_OVERFLOW, {}, 0};
        for (auto& [descriptor, sources] : byDescriptor_) {
          for (auto& source : sources) {
            source->accepts(lost);
            add(source);
          }
        }
        continue;
      }
      if (auto found = byDescriptor_.find(event->wd); found != byDescriptor_.end()) {
        // The name is padded with NULs up to its length.
        const Event seen{event->mask,
                         event->len > 0 ? std::string_view(event->name) : std::string_view(),
                         event->cookie};
        for (auto& source : found->second) {
          if (source->accepts(seen)) add(source);
        }
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
