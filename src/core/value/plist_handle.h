// PlistHandle: the move-only owner of one libplist tree (plist_t), freed with plist_free.
// Only trees whose depth is bounded may be owned: libplist frees recursively.
#pragma once

#include <plist/plist.h>

#include <utility>

namespace tavra {

class PlistHandle {
 public:
  PlistHandle() = default;
  explicit PlistHandle(plist_t node) noexcept : node_(node) {}
  PlistHandle(const PlistHandle&) = delete;
  PlistHandle& operator=(const PlistHandle&) = delete;
  PlistHandle(PlistHandle&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
  PlistHandle& operator=(PlistHandle&& other) noexcept {
    if (this != &other) reset(std::exchange(other.node_, nullptr));
    return *this;
  }
  ~PlistHandle() { reset(); }

  plist_t get() const noexcept { return node_; }
  explicit operator bool() const noexcept { return node_ != nullptr; }
  // For libplist's out-parameters: frees the current tree and hands out the slot.
  plist_t* out() noexcept {
    reset();
    return &node_;
  }
  void reset(plist_t node = nullptr) noexcept {
    if (node_ != nullptr) plist_free(node_);
    node_ = node;
  }

 private:
  plist_t node_ = nullptr;
};

}  // namespace tavra
