// The default merge (objects key by key, lists united, disagreements warned about), path
// patterns, NaN and the rules a merger keeps.
#include "tavra/merger.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "core/policy/merger_cases.h"

namespace tavra::test {
namespace {

INSTANTIATE_TEST_SUITE_P(
    Default, MergerCaseTest,
    ::testing::Values(
        MergeCase{"EmptyListWithDenyRules", {denyRule("d", "t")}, {}, "{}", {}},
        MergeCase{"SingleValueUnchanged",
                  {},
                  {R"({"a": [1, 1], "b": "x"})"},
                  R"({"a": [1, 1], "b": "x"})",
                  {}},
        // A lone fragment is the result as it is: rules below the root are not reached.
        MergeCase{"SingleFragmentWithRulesBelowRoot",
                  {strategyRule("a", S::intersect)},
                  {R"({"a": ["x", "x"]})"},
                  R"({"a": ["x", "x"]})",
                  {}},
        MergeCase{
            "SingleFragmentRootRule", {strategyRule("", S::anyTrue)}, {R"("yes")"}, "true", {}},
        MergeCase{"SingleScalarAtRoot", {}, {"5"}, "5", {}},
        MergeCase{"ObjectsMergeDeeply",
                  {},
                  {R"({"a": 1, "b": {"x": 1}})", R"({"b": {"y": 2}, "c": 3})"},
                  R"({"a": 1, "b": {"x": 1, "y": 2}, "c": 3})",
                  {}},
        MergeCase{"ArraysUnite", {}, {"[1, 2]", "[2, 3]"}, "[1, 2, 3]", {}},
        MergeCase{"UnionKeepsIntAndDouble", {}, {"[1]", "[1.0]"}, "[1, 1.0]", {}},
        MergeCase{"UnionOfThreeKeepsFirstOccurrence",
                  {},
                  {"[3, 1]", "[1, 2, 3]", "[4, 2]"},
                  "[3, 1, 2, 4]",
                  {}},
        MergeCase{"TextAgainstNumber",
                  {},
                  {R"({"k": "x"})", R"({"k": 5})"},
                  R"({"k": "x"})",
                  {"k: fragments disagree on the value type; using the highest-priority value"}},
        MergeCase{"IntAgainstDouble", {}, {R"({"k": 1})", R"({"k": 2.5})"}, R"({"k": 1})", {}},
        MergeCase{
            "SameKindDifferentValues", {}, {R"({"k": "a"})", R"({"k": "b"})"}, R"({"k": "a"})", {}},
        MergeCase{"ObjectAgainstArray",
                  {},
                  {R"({"k": {"x": 1}})", R"({"k": [1]})"},
                  R"({"k": {"x": 1}})",
                  {"k: fragments disagree on the value type; using the highest-priority value"}},
        MergeCase{"RootDisagreement",
                  {},
                  {"{}", "[]"},
                  "{}",
                  {": fragments disagree on the value type; using the highest-priority value"}},
        MergeCase{"BoolAgainstInt",
                  {},
                  {"true", "1"},
                  "true",
                  {": fragments disagree on the value type; using the highest-priority value"}},
        MergeCase{"DottedKeyIsEscapedInWarnings",
                  {},
                  {R"({"a.b": {"c": 1}})", R"({"a.b": {"c": "x"}})"},
                  R"({"a.b": {"c": 1}})",
                  {"a\\.b.c: fragments disagree on the value type; using the highest-priority "
                   "value"}},
        // Warnings follow the key order: the first value's keys sorted, then later new keys.
        MergeCase{"WarningOrderFollowsKeyOrder",
                  {},
                  {R"({"b": 1, "d": 1})", R"({"a": "x", "b": "x", "c": 1, "d": "x"})",
                   R"({"a": 1, "c": "y"})"},
                  R"({"a": "x", "b": 1, "c": 1, "d": 1})",
                  {"b: fragments disagree on the value type; using the highest-priority value",
                   "d: fragments disagree on the value type; using the highest-priority value",
                   "a: fragments disagree on the value type; using the highest-priority value",
                   "c: fragments disagree on the value type; using the highest-priority value"}},
        MergeCase{"ArraysAreNotDescended",
                  {strategyRule("a.x", S::max)},
                  {R"({"a": [{"x": 1}]})", R"({"a": [{"x": 2}]})"},
                  R"({"a": [{"x": 1}, {"x": 2}]})",
                  {}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(MergerTest, Matches) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"servers.*.enabled", "servers.a.enabled", true},
      {"servers.*.enabled", "servers.enabled", false},
      {"servers.*.enabled", "servers.a.b.enabled", false},
      {"", "", true},
      {"*", "", false},
      {"*", "x", true},
      {"a.b", "a.c", false},
      {"a\\.b", "a\\.b", true},
  };
  for (const auto& [pattern, path, expected] : cases) {
    SCOPED_TRACE(std::string(pattern) + " ~ " + path);
    EXPECT_EQ(Merger::matches(KeyPath(pattern), KeyPath(path)), expected);
  }
  // A literal "*" in a path is matched like any key.
  EXPECT_TRUE(Merger::matches(KeyPath::fromComponents({"*"}), KeyPath::fromComponents({"*"})));
  EXPECT_FALSE(Merger::matches(KeyPath::fromComponents({"a"}), KeyPath::fromComponents({"*"})));
}

TEST(MergerTest, NaNIsNeverReplacedAndNeverReplaces) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Merger merger({strategyRule("", S::min)});
  Merger::Result first = merger.merge({Value(nan), Value(1)});
  ASSERT_TRUE(first.value.isDouble());
  EXPECT_TRUE(std::isnan(*first.value.asDouble()));
  EXPECT_EQ(merger.merge({Value(3), Value(nan), Value(1)}).value, Value(1));
}

TEST(MergerTest, UnionKeepsEveryNaN) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Merger::Result result =
      Merger({}).merge({Value(Value::Array{Value(nan)}), Value(Value::Array{Value(nan)})});
  EXPECT_EQ(result.value.asArray()->size(), 2u);  // a NaN equals nothing, itself included
}

TEST(MergerTest, IntersectDropsNaNFromOneListAsFromSeveral) {
  // A NaN, and a list or object holding one, equals nothing: it is in no list, its own included.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Value list(Value::Array{Value(nan), Value(1), Value(nan), Value(Value::Array{Value(nan)}),
                                Value(Value::Object{{"x", Value(nan)}}), Value(1), Value("a")});
  const Value expected(Value::Array{Value(1), Value("a")});
  for (std::size_t fragments : {1u, 2u, 3u}) {
    SCOPED_TRACE(fragments);
    const Merger::Result result =
        Merger({strategyRule("", S::intersect)}).merge(std::vector<Value>(fragments, list));
    EXPECT_EQ(result.value, expected);
    EXPECT_TRUE(result.warnings.empty());
  }
  // One list below a key that only the first fragment sets.
  const Merger::Result below = Merger({strategyRule("a", S::intersect)})
                                   .merge({Value::Object{{"a", list}}, Value::Object{{"b", 1}}});
  EXPECT_EQ(below.value, Value(Value::Object{{"a", expected}, {"b", Value(1)}}));
  EXPECT_TRUE(below.warnings.empty());
}

TEST(MergerTest, RulesAreKept) {
  std::vector<MergeRule> rules{strategyRule("a", S::max), denyRule("d", "t")};
  EXPECT_EQ(Merger(rules).rules(), rules);
}

}  // namespace
}  // namespace tavra::test
