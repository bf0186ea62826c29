#include "policy/key_groups.h"

#include <functional>
#include <string_view>
#include <utility>

#include "policy/flat_set.h"

namespace tavra::detail {

KeyGroups::KeyGroups(std::span<const Value* const> objects) {
  std::size_t total = 0;
  for (const Value* object : objects) total += object->asObject()->size();
  // Every entry with its key's number, the number given in the order the keys are first met.
  FlatSet<std::string, std::hash<std::string_view>, std::equal_to<std::string>, std::size_t>
      numbers(total);
  std::vector<std::pair<std::size_t, const Value*>> entries;
  keys_.reserve(total);
  entries.reserve(total);
  for (const Value* object : objects) {
    for (const auto& [key, member] : *object->asObject()) {
      const auto [number, added] = numbers.emplace(numbers.probeOf(key), keys_.size());
      if (added) keys_.push_back(&key);
      entries.emplace_back(number, &member);
    }
  }
  start_ = std::vector<std::size_t>(keys_.size() + 1, 0);
  for (const auto& [number, member] : entries) ++start_[number + 1];
  for (std::size_t i = 1; i < start_.size(); ++i) start_[i] += start_[i - 1];
  holders_ = std::vector<const Value*>(entries.size());
  std::vector<std::size_t> fill(start_.begin(), start_.end() - 1);
  for (const auto& [number, member] : entries) holders_[fill[number]++] = member;
}

}  // namespace tavra::detail
