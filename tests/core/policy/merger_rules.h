// Rules built by name and values written as JSON, for the merger's tests.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tavra/json.h"
#include "tavra/merger.h"

namespace tavra::test {

using S = MergeRule::Strategy;

inline Value J(const std::string& text) {
  return Value::parseJSON(text);
}

inline MergeRule strategyRule(std::string path, S strategy,
                              std::optional<std::vector<std::string>> order = std::nullopt) {
  return MergeRule{std::move(path), strategy, std::nullopt, std::nullopt, std::move(order)};
}

inline MergeRule denyRule(std::string path, std::string denies,
                          std::optional<std::string> matchField = std::nullopt) {
  return MergeRule{std::move(path), std::nullopt, std::move(denies), std::move(matchField)};
}

}  // namespace tavra::test
