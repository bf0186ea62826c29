#include "tavra/platform/event_loop.h"

namespace tavra {

EventLoop::Handle& EventLoop::Handle::operator=(Handle&& other) noexcept {
  if (this != &other) {
    cancel();
    source_ = std::move(other.source_);
  }
  return *this;
}

void EventLoop::Handle::cancel() noexcept {
  if (source_) {
    source_->cancel();
    source_.reset();
  }
}

}  // namespace tavra
