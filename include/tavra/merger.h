// Merger: combines the values that several policy fragments give for one output into the one
// value that is rendered, following that output's merge rules, then applies its deny rules.
//
// Build one Merger per output from the output's rules (an absent list is the empty list) and call
// merge() with the fragments' values in precedence order, highest first. merge() never throws and
// never refuses input: every conflict resolves to a defined value and, where a person should know,
// a warning text ("<key path>: <text>"; the root path is the empty text). Warnings come in the
// order the merge meets them. A Merger is immutable; merge() is a pure function and may run on
// any thread.
#pragma once

#include <string>
#include <vector>

#include "tavra/key_path.h"
#include "tavra/merge_rule.h"
#include "tavra/value.h"

namespace tavra {

class Merger {
 public:
  struct Result {
    Value value;
    std::vector<std::string> warnings;

    friend bool operator==(const Result&, const Result&) = default;
  };

  explicit Merger(std::vector<MergeRule> rules);

  const std::vector<MergeRule>& rules() const noexcept { return rules_; }

  // values[0] has the highest precedence. An empty list gives the empty object, no warnings.
  Result merge(const std::vector<Value>& values) const;
  // The same over values held elsewhere (none may be null), which are read, never copied whole.
  Result merge(const std::vector<const Value*>& values) const;

  // True when both paths have the same number of components and every pattern component is "*"
  // or equal to the path's component at that position. Two empty paths match.
  static bool matches(const KeyPath& pattern, const KeyPath& path) noexcept;

 private:
  std::vector<MergeRule> rules_;
};

}  // namespace tavra
