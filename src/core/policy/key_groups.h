// KeyGroups: the keys of several objects, each with the values that hold it, for the merger's
// default merge of objects.
//
// Keys come in the order first met: the first object's keys in its order, then each later
// object's new keys in its order; a key's holders come in object order. One walk over the entries
// gathers them, so the cost grows with the number of entries, not keys times objects, and the
// holders of all keys share one list, grouped by key (a counting sort), not a list per key. The
// keys and values are borrowed from the objects, which must outlive the groups.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "tavra/value.h"

namespace tavra::detail {

class KeyGroups {
 public:
  // `objects` are all objects (none null).
  explicit KeyGroups(std::span<const Value* const> objects);

  std::size_t size() const noexcept { return keys_.size(); }
  const std::string& key(std::size_t i) const noexcept { return *keys_[i]; }
  std::span<const Value* const> holders(std::size_t i) const noexcept {
    return {holders_.data() + start_[i], start_[i + 1] - start_[i]};
  }

 private:
  std::vector<const std::string*> keys_;
  std::vector<const Value*> holders_;
  std::vector<std::size_t> start_;  // the holders of key i are [start_[i], start_[i + 1])
};

}  // namespace tavra::detail
