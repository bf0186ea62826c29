// MergeRule: one merge or deny rule of a catalog output, as carried in the output's
// `mergeRules`. A plain value record; the Merger interprets it.
//
// - `path`: key-path text selecting where the strategy applies ("*" matches any one key); for a
//   deny rule, the location of the deny list in the merged value.
// - `strategy`: how values at matching paths combine; absent makes a pure deny rule.
// - `denies`: key-path text of the target that the list at `path` cleans.
// - `matchField`: for deny rules, the field by which object entries are identified.
// - `order`: for `strictest`, the known values, strictest first.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavra/raw_value.h"

namespace tavra {

struct MergeRule {
  // Raw texts are the case names; `union_` ("union") carries a trailing underscore because
  // union is a C++ keyword.
  enum class Strategy { union_, replace, anyTrue, anyFalse, min, max, intersect, strictest };

  std::string path;
  std::optional<Strategy> strategy;
  std::optional<std::string> denies;
  std::optional<std::string> matchField;
  std::optional<std::vector<std::string>> order;

  friend bool operator==(const MergeRule&, const MergeRule&) = default;
};

template <>
struct RawValues<MergeRule::Strategy> {
  using enum MergeRule::Strategy;
  static constexpr CaseText<MergeRule::Strategy> table[] = {
      {union_, "union"}, {replace, "replace"}, {anyTrue, "anyTrue"},     {anyFalse, "anyFalse"},
      {min, "min"},      {max, "max"},         {intersect, "intersect"}, {strictest, "strictest"},
  };
};

}  // namespace tavra
