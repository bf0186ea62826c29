// Raw texts of the merge strategies.
#include "tavra/merge_rule.h"

#include <array>

namespace tavra {

namespace {
constexpr std::array<std::string_view, 8> strategyTexts = {
    "union", "replace", "anyTrue", "anyFalse", "min", "max", "intersect", "strictest"};
}

std::string_view rawValue(MergeRule::Strategy strategy) noexcept {
  return strategyTexts[static_cast<std::size_t>(strategy)];
}

std::optional<MergeRule::Strategy> MergeRule::strategyFromRawValue(std::string_view text) noexcept {
  for (std::size_t i = 0; i < strategyTexts.size(); ++i) {
    if (strategyTexts[i] == text) return static_cast<Strategy>(i);
  }
  return std::nullopt;
}

}  // namespace tavra
