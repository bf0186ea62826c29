#include "tavra/merger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tavra/json.h"

namespace tavra {
namespace {

using S = MergeRule::Strategy;

Value J(const std::string& text) {
  return Value::parseJSON(text);
}

MergeRule strategyRule(std::string path, S strategy,
                       std::optional<std::vector<std::string>> order = std::nullopt) {
  return MergeRule{std::move(path), strategy, std::nullopt, std::nullopt, std::move(order)};
}

MergeRule denyRule(std::string path, std::string denies,
                   std::optional<std::string> matchField = std::nullopt) {
  return MergeRule{std::move(path), std::nullopt, std::move(denies), std::move(matchField)};
}

struct MergeCase {
  const char* name;
  std::vector<MergeRule> rules;
  std::vector<std::string> values;  // JSON texts, highest precedence first
  std::string expected;             // JSON text
  std::vector<std::string> warnings;
};

class MergerCaseTest : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergerCaseTest, MergesAndWarns) {
  const MergeCase& c = GetParam();
  std::vector<Value> values;
  for (const std::string& text : c.values) values.push_back(J(text));
  Merger::Result result = Merger(c.rules).merge(values);
  EXPECT_EQ(result.value, J(c.expected)) << json::write(result.value);
  EXPECT_EQ(result.warnings, c.warnings);
}

const std::vector<std::string> hml = {"high", "medium", "low"};

// Strategy rules sit under the key "a" so that the default merge of the root leads to them; a
// "single" value is one that only one fragment holds at that key.
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

INSTANTIATE_TEST_SUITE_P(
    Rules, MergerCaseTest,
    ::testing::Values(
        MergeCase{"WildcardMatchesOneKey",
                  {strategyRule("servers.*.enabled", S::anyTrue)},
                  {R"({"servers": {"a": {"enabled": false}, "enabled": "no", "b": {"c":
                      {"enabled": "yes"}}}})",
                   R"({"servers": {"a": {"enabled": true}, "enabled": "yes", "b": {"c":
                      {"enabled": "no"}}}})"},
                  R"({"servers": {"a": {"enabled": true}, "enabled": "no", "b": {"c":
                      {"enabled": "yes"}}}})",
                  {}},
        MergeCase{"FirstMatchingRuleWins",
                  {strategyRule("a", S::min), strategyRule("*", S::max)},
                  {R"({"a": 5, "b": 5})", R"({"a": 2, "b": 9})"},
                  R"({"a": 2, "b": 9})",
                  {}},
        MergeCase{"DenyOnlyRuleDoesNotSelect",
                  {denyRule("a", "zzz"), strategyRule("a", S::replace)},
                  {R"({"a": [1]})", R"({"a": [2]})"},
                  R"({"a": [1]})",
                  {}},
        MergeCase{"RootRule",
                  {strategyRule("", S::replace)},
                  {R"({"a": 1})", R"({"b": 2})"},
                  R"({"a": 1})",
                  {}},
        MergeCase{"LoneDotIsRoot",
                  {strategyRule(".", S::replace)},
                  {R"({"a": 1})", R"({"b": 2})"},
                  R"({"a": 1})",
                  {}},
        MergeCase{"Replace",
                  {strategyRule("a", S::replace)},
                  {R"({"a": {"x": 1}})", R"({"a": {"y": 2}})"},
                  R"({"a": {"x": 1}})",
                  {}},
        MergeCase{"UnionRule",
                  {strategyRule("a", S::union_)},
                  {R"({"a": ["x"]})", R"({"a": ["y", "x"]})"},
                  R"({"a": ["x", "y"]})",
                  {}},
        MergeCase{"UnionOnNonArray",
                  {strategyRule("a", S::union_)},
                  {R"({"a": "x"})", R"({"a": ["y"]})"},
                  R"({"a": "x"})",
                  {"a: union rule on a non-array value; using the highest-priority value"}},
        MergeCase{"UnionOnSingleNonArray",
                  {strategyRule("a", S::union_)},
                  {R"({"a": {"k": 1}})", R"({"other": 1})"},
                  R"({"a": {"k": 1}, "other": 1})",
                  {"a: union rule on a non-array value; using the highest-priority value"}},
        MergeCase{"AnyTrueWithText",
                  {strategyRule("a", S::anyTrue)},
                  {R"({"a": false})", R"({"a": "yes"})"},
                  R"({"a": true})",
                  {}},
        MergeCase{"AnyTrueWithoutViews",
                  {strategyRule("a", S::anyTrue)},
                  {R"({"a": "maybe"})", R"({"a": 2.0})"},
                  R"({"a": "maybe"})",
                  {}},
        MergeCase{"AnyTrueZeroAlone",
                  {strategyRule("a", S::anyTrue)},
                  {R"({"a": 0})", R"({"other": 1})"},
                  R"({"a": false, "other": 1})",
                  {}},
        MergeCase{"AnyTrueSingleText",
                  {strategyRule("a", S::anyTrue)},
                  {R"({"a": "yes"})", R"({"other": 1})"},
                  R"({"a": true, "other": 1})",
                  {}},
        MergeCase{"AnyTrueSkipsValuesWithoutView",
                  {strategyRule("a", S::anyTrue)},
                  {R"({"a": [true]})", R"({"a": "false"})"},
                  R"({"a": false})",
                  {}},
        MergeCase{"AnyFalse",
                  {strategyRule("a", S::anyFalse)},
                  {R"({"a": true})", R"({"a": "NO"})"},
                  R"({"a": false})",
                  {}},
        MergeCase{"AnyFalseAllTrue",
                  {strategyRule("a", S::anyFalse)},
                  {R"({"a": 1})", R"({"a": "True"})"},
                  R"({"a": true})",
                  {}},
        MergeCase{"MinKeepsFirstLowestAndItsCase",
                  {strategyRule("a", S::min)},
                  {R"({"a": 5})", R"({"a": 2.0})", R"({"a": 2})"},
                  R"({"a": 2.0})",
                  {}},
        MergeCase{"MinSkipsNonNumbers",
                  {strategyRule("a", S::min)},
                  {R"({"a": "x"})", R"({"a": 7})", R"({"a": true})", R"({"a": 3})"},
                  R"({"a": 3})",
                  {}},
        MergeCase{"MaxSkipsText",
                  {strategyRule("a", S::max)},
                  {R"({"a": "a"})", R"({"a": 3})"},
                  R"({"a": 3})",
                  {}},
        MergeCase{"MaxOfTexts",
                  {strategyRule("a", S::max)},
                  {R"({"a": "a"})", R"({"a": "b"})"},
                  R"({"a": "a"})",
                  {}},
        MergeCase{"MaxTieKeepsEarlier",
                  {strategyRule("a", S::max)},
                  {R"({"a": 4})", R"({"a": 4.0})"},
                  R"({"a": 4})",
                  {}},
        MergeCase{"MaxComparesLargeIntsAsReals",
                  {strategyRule("a", S::max)},
                  {R"({"a": 9007199254740992})", R"({"a": 9007199254740993})"},
                  R"({"a": 9007199254740992})",
                  {}},
        MergeCase{"Intersect",
                  {strategyRule("a", S::intersect)},
                  {R"({"a": ["a", "b", "c"]})", R"({"a": ["c", "a", "d"]})"},
                  R"({"a": ["a", "c"]})",
                  {}},
        MergeCase{"IntersectOfThree",
                  {strategyRule("a", S::intersect)},
                  {R"({"a": [1, 2, 3, 2]})", R"({"a": [3, 2, 1]})", R"({"a": [2, 3]})"},
                  R"({"a": [2, 3]})",
                  {}},
        MergeCase{"IntersectEmpty",
                  {strategyRule("a", S::intersect)},
                  {R"({"a": ["a"]})", R"({"a": ["b"]})"},
                  R"({"a": []})",
                  {"a: fragments have no value in common; the list is empty (nothing allowed)"}},
        MergeCase{"IntersectSingleDeduplicates",
                  {strategyRule("a", S::intersect)},
                  {R"({"a": ["a", "a"]})", R"({"other": 1})"},
                  R"({"a": ["a"], "other": 1})",
                  {}},
        MergeCase{"IntersectSingleEmpty",
                  {strategyRule("a", S::intersect)},
                  {R"({"a": []})", R"({"other": 1})"},
                  R"({"a": [], "other": 1})",
                  {}},
        MergeCase{"IntersectIntIsNotDouble",
                  {strategyRule("a", S::intersect)},
                  {R"({"a": [1]})", R"({"a": [1.0]})"},
                  R"({"a": []})",
                  {"a: fragments have no value in common; the list is empty (nothing allowed)"}},
        MergeCase{"IntersectOnNonArray",
                  {strategyRule("a", S::intersect)},
                  {R"({"a": ["a"]})", R"({"a": "x"})"},
                  R"({"a": ["a"]})",
                  {"a: intersect rule on a non-array value; using the highest-priority value"}},
        MergeCase{"StrictestKnown",
                  {strategyRule("a", S::strictest, hml)},
                  {R"({"a": "low"})", R"({"a": "medium"})"},
                  R"({"a": "medium"})",
                  {}},
        MergeCase{"StrictestTieKeepsEarlier",
                  {strategyRule("a", S::strictest, hml)},
                  {R"({"a": "low"})", R"({"a": "high"})", R"({"a": "high"})"},
                  R"({"a": "high"})",
                  {}},
        MergeCase{"StrictestKnownBeatsUnknown",
                  {strategyRule("a", S::strictest, hml)},
                  {R"({"a": "odd"})", R"({"a": "low"})"},
                  R"({"a": "low"})",
                  {"a: value(s) [\"odd\"] not in the strictness order; known values win over "
                   "them"}},
        MergeCase{"StrictestAllUnknown",
                  {strategyRule("a", S::strictest, hml)},
                  {R"({"a": "odd"})", R"({"a": "strange"})", R"({"a": "odd"})"},
                  R"({"a": "odd"})",
                  {"a: value(s) [\"odd\", \"strange\", \"odd\"] not in the strictness order; "
                   "known values win over them"}},
        MergeCase{"StrictestSingleUnknown",
                  {strategyRule("a", S::strictest, hml)},
                  {R"({"a": "q\"\\\n"})", R"({"other": 1})"},
                  R"({"a": "q\"\\\n", "other": 1})",
                  {"a: value(s) [\"q\\\"\\\\\\n\"] not in the strictness order; known values "
                   "win over them"}},
        MergeCase{"StrictestUnknownWithControlCharacters",
                  {strategyRule("a", S::strictest, hml)},
                  {R"({"a": "x\u0001\u001b\u007f"})", R"({"other": 1})"},
                  R"({"a": "x\u0001\u001b\u007f", "other": 1})",
                  {"a: value(s) [\"x\\u{1}\\u{1b}\\u{7f}\"] not in the strictness order; "
                   "known values win over them"}},
        MergeCase{"StrictestWithNumberFallsBack",
                  {strategyRule("a", S::strictest, hml)},
                  {R"({"a": "low"})", R"({"a": 3})"},
                  R"({"a": "low"})",
                  {"a: fragments disagree on the value type; using the highest-priority value"}},
        MergeCase{"StrictestWithoutOrderFallsBack",
                  {strategyRule("a", S::strictest)},
                  {R"({"a": ["low"]})", R"({"a": ["high"]})"},
                  R"({"a": ["low", "high"]})",
                  {}},
        MergeCase{"StrictestEmptyOrderKeepsTheFirstValue",
                  {strategyRule("a", S::strictest, std::vector<std::string>{})},
                  {R"({"a": "low"})", R"({"a": "high"})"},
                  R"({"a": "low"})",
                  {"a: value(s) [\"low\", \"high\"] not in the strictness order; known values "
                   "win over them"}},
        MergeCase{"StrictestFallbackStillDescends",
                  {strategyRule("a", S::strictest, hml), strategyRule("a.b", S::min)},
                  {R"({"a": {"b": 4}})", R"({"a": {"b": 1}})"},
                  R"({"a": {"b": 1}})",
                  {}}),
    [](const auto& param) { return std::string(param.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Denies, MergerCaseTest,
    ::testing::Values(
        MergeCase{"ObjectTarget",
                  {denyRule("deny", "servers", "name")},
                  {R"({"deny": ["b", {"name": "c"}, {"name": 1}, {"other": "a"}, 7],
                       "servers": {"a": 1, "b": 2, "c": 3}})"},
                  R"({"deny": ["b", {"name": "c"}, {"name": 1}, {"other": "a"}, 7],
                      "servers": {"a": 1}})",
                  {"servers: removed 2 key(s) denied by deny"}},
        MergeCase{"ObjectTargetWithoutMatchField",
                  {denyRule("deny", "servers")},
                  {R"({"deny": ["b", {"name": "c"}], "servers": {"a": 1, "b": 2, "c": 3}})"},
                  R"({"deny": ["b", {"name": "c"}], "servers": {"a": 1, "c": 3}})",
                  {"servers: removed 1 key(s) denied by deny"}},
        MergeCase{"ArrayTarget",
                  {denyRule("deny", "list", "name")},
                  {R"({"deny": [{"name": "x", "extra": 1}],
                       "list": [{"name": "x", "url": "u"}, "x", {"name": "y"}]})"},
                  R"({"deny": [{"name": "x", "extra": 1}], "list": [{"name": "y"}]})",
                  {"list: removed 2 entr(y/ies) denied by deny"}},
        MergeCase{"ArrayTargetByEquality",
                  {denyRule("deny", "list")},
                  {R"({"deny": [1, {"name": "x"}], "list": [1, 1.0, {"name": "x"},
                       {"name": "x", "url": "u"}, 1]})"},
                  R"({"deny": [1, {"name": "x"}], "list": [1.0, {"name": "x", "url": "u"}]})",
                  {"list: removed 3 entr(y/ies) denied by deny"}},
        MergeCase{"OneEntryKeepsTheWording",
                  {denyRule("d", "t")},
                  {R"({"d": ["x"], "t": ["x", "y"]})"},
                  R"({"d": ["x"], "t": ["y"]})",
                  {"t: removed 1 entr(y/ies) denied by d"}},
        MergeCase{"NothingRemovedNoWarning",
                  {denyRule("d", "t")},
                  {R"({"d": ["z"], "t": ["x"]})"},
                  R"({"d": ["z"], "t": ["x"]})",
                  {}},
        MergeCase{"EmptyList",
                  {denyRule("d", "t")},
                  {R"({"d": [], "t": 5})"},
                  R"({"d": [], "t": 5})",
                  {}},
        MergeCase{"ListIsObject",
                  {denyRule("d", "t")},
                  {R"({"d": {"x": 1}, "t": {"x": 1}})"},
                  R"({"d": {"x": 1}, "t": {"x": 1}})",
                  {}},
        MergeCase{
            "ListMissing", {denyRule("d", "t")}, {R"({"t": {"x": 1}})"}, R"({"t": {"x": 1}})", {}},
        MergeCase{
            "TargetMissing", {denyRule("d", "t")}, {R"({"d": ["x"]})"}, R"({"d": ["x"]})", {}},
        MergeCase{"TargetNumber",
                  {denyRule("d", "t")},
                  {R"({"d": ["x"], "t": 5})"},
                  R"({"d": ["x"], "t": 5})",
                  {"t: deny rule target is neither a list nor a dictionary"}},
        MergeCase{"TargetPathShownByDescription",
                  {denyRule("d", "a..b")},
                  {R"({"d": ["x"], "a": {"b": ["x"]}})"},
                  R"({"d": ["x"], "a": {"b": []}})",
                  {"a.b: removed 1 entr(y/ies) denied by d"}},
        MergeCase{"RulePathWrittenAsGiven",
                  {denyRule("p..deny", "t")},
                  {R"({"p": {"deny": ["x"]}, "t": {"x": 1}})"},
                  R"({"p": {"deny": ["x"]}, "t": {}})",
                  {"t: removed 1 key(s) denied by p..deny"}},
        MergeCase{"ListInsideTarget",
                  {denyRule("t.deny", "t")},
                  {R"({"t": {"deny": ["deny", "x"], "x": 1, "y": 2}})"},
                  R"({"t": {"y": 2}})",
                  {"t: removed 2 key(s) denied by t.deny"}},
        MergeCase{"RootTarget",
                  {denyRule("d", "")},
                  {R"({"d": ["x"], "x": 1})"},
                  R"({"d": ["x"]})",
                  {": removed 1 key(s) denied by d"}},
        // Deny rules run in list order on the value as the earlier ones left it.
        MergeCase{
            "RulesRunInOrder",
            {denyRule("d1", "d2"), denyRule("d2", "t")},
            {R"({"d1": ["x"], "d2": ["x", "y"], "t": ["x", "y", "z"]})"},
            R"({"d1": ["x"], "d2": ["y"], "t": ["x", "z"]})",
            {"d2: removed 1 entr(y/ies) denied by d1", "t: removed 1 entr(y/ies) denied by d2"}},
        MergeCase{"StrategyAndDenyInOneRule",
                  {MergeRule{"deny", S::union_, "t", std::nullopt, std::nullopt}},
                  {R"({"deny": ["a"], "t": ["a", "b", "c"]})", R"({"deny": ["b"]})"},
                  R"({"deny": ["a", "b"], "t": ["c"]})",
                  {"t: removed 2 entr(y/ies) denied by deny"}},
        MergeCase{"MergeWarningsComeBeforeDenyWarnings",
                  {denyRule("d", "t")},
                  {R"({"d": ["x"], "t": {"x": 1}, "z": 1})", R"({"z": "s"})"},
                  R"({"d": ["x"], "t": {}, "z": 1})",
                  {"z: fragments disagree on the value type; using the highest-priority value",
                   "t: removed 1 key(s) denied by d"}}),
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

// The hashed union, intersect and deny steps and the grouped object merge against plain versions
// of the same rules, on lists long enough to pass the look-ahead window and with many repeats and
// near-misses (1 against 1.0, objects sharing a name).
class MergerReferenceTest : public ::testing::Test {
 protected:
  Value element() {
    const int n = static_cast<int>(random_() % 12);
    switch (random_() % 5) {
      case 0:
        return Value(n);
      case 1:
        return Value(static_cast<double>(n));
      case 2:
        return Value("s" + std::to_string(n));
      case 3:
        return Value::Object{{"name", Value("s" + std::to_string(n))},
                             {"v", Value(static_cast<int>(random_() % 2))}};
      default:
        return Value::Object{{"name", Value(n)}};
    }
  }
  Value list(std::size_t size) {
    Value::Array elements;
    for (std::size_t i = 0; i < size; ++i) elements.push_back(element());
    return Value(std::move(elements));
  }

  static bool holds(const Value::Array& elements, const Value& x) {
    return std::find(elements.begin(), elements.end(), x) != elements.end();
  }
  static Value unite(const std::vector<Value>& arrays) {
    Value::Array result;
    for (const Value& array : arrays) {
      for (const Value& x : *array.asArray()) {
        if (!holds(result, x)) result.push_back(x);
      }
    }
    return Value(std::move(result));
  }
  static Value intersect(const std::vector<Value>& arrays) {
    Value::Array result;
    for (const Value& x : *arrays.front().asArray()) {
      const bool everywhere = std::all_of(arrays.begin(), arrays.end(), [&](const Value& array) {
        return holds(*array.asArray(), x);
      });
      if (everywhere && !holds(result, x)) result.push_back(x);
    }
    return Value(std::move(result));
  }
  static const Value& key(const Value& x, const std::string& field) {
    if (const auto* object = x.asObject()) {
      if (auto it = object->find(field); it != object->end()) return it->second;
    }
    return x;
  }
  static Value denyEntries(const Value& target, const Value& denied,
                           const std::optional<std::string>& field) {
    Value::Array kept;
    for (const Value& e : *target.asArray()) {
      const bool drop = std::any_of(
          denied.asArray()->begin(), denied.asArray()->end(),
          [&](const Value& d) { return e == d || (field && key(e, *field) == key(d, *field)); });
      if (!drop) kept.push_back(e);
    }
    return Value(std::move(kept));
  }

  // The default merge of objects, key by key, in the plain way: the keys of each value in turn
  // that no earlier value has, and for each the values holding it, found by lookup.
  static Value mergeObjects(const std::vector<const Value*>& values, KeyPath& path,
                            std::vector<std::string>& warnings) {
    Value::Object result;
    for (std::size_t first = 0; first < values.size(); ++first) {
      for (const auto& entry : *values[first]->asObject()) {
        const std::string& key = entry.first;
        const auto holds = [&](const Value* value) { return value->asObject()->contains(key); };
        if (std::any_of(values.begin(), values.begin() + first, holds)) continue;
        std::vector<const Value*> holders;
        for (std::size_t j = first; j < values.size(); ++j) {
          if (holds(values[j])) holders.push_back(&values[j]->asObject()->at(key));
        }
        path.components.push_back(key);
        result.emplace(key, mergeScalarsOrObjects(holders, path, warnings));
        path.components.pop_back();
      }
    }
    return Value(std::move(result));
  }
  static Value mergeScalarsOrObjects(const std::vector<const Value*>& values, KeyPath& path,
                                     std::vector<std::string>& warnings) {
    if (values.size() == 1) return *values.front();
    const auto isObject = [](const Value* value) { return value->isObject(); };
    if (std::all_of(values.begin(), values.end(), isObject)) {
      return mergeObjects(values, path, warnings);
    }
    const auto kind = [](const Value* value) {
      return value->isDouble() ? Value::Kind::int_ : value->kind();
    };
    if (std::any_of(values.begin(), values.end(),
                    [&](const Value* value) { return kind(value) != kind(values.front()); })) {
      warnings.push_back(
          path.description() +
          ": fragments disagree on the value type; using the highest-priority value");
    }
    return *values.front();
  }
  // An object of up to `size` keys out of a few dozen, holding scalars of every kind and, while
  // `depth` allows, objects of the same sort.
  Value object(std::size_t size, int depth) {
    Value::Object entries;
    for (std::size_t i = 0; i < size; ++i) {
      const std::string key = "k" + std::to_string(random_() % 40);
      switch (random_() % (depth > 0 ? 5 : 4)) {
        case 0:
          entries.insert_or_assign(key, Value(static_cast<int>(random_() % 3)));
          break;
        case 1:
          entries.insert_or_assign(key, Value(0.5));
          break;
        case 2:
          entries.insert_or_assign(key, Value("t"));
          break;
        case 3:
          entries.insert_or_assign(key, Value(true));
          break;
        default:
          entries.insert_or_assign(key, object(size / 4, depth - 1));
      }
    }
    return Value(std::move(entries));
  }

  std::mt19937 random_{20260101};
};

TEST_F(MergerReferenceTest, ObjectsMergeAsThePlainVersion) {
  for (std::size_t fragments : {2u, 3u, 6u}) {
    for (std::size_t size : {1u, 8u, 60u}) {
      SCOPED_TRACE(std::to_string(fragments) + " x " + std::to_string(size));
      std::vector<Value> values;
      for (std::size_t i = 0; i < fragments; ++i) values.push_back(object(size, 2));
      std::vector<const Value*> pointers;
      for (const Value& value : values) pointers.push_back(&value);
      KeyPath root;
      std::vector<std::string> warnings;
      const Value expected = mergeObjects(pointers, root, warnings);
      const Merger::Result result = Merger({}).merge(values);
      EXPECT_EQ(result.value, expected);
      EXPECT_EQ(result.warnings, warnings);
    }
  }
}

TEST_F(MergerReferenceTest, UnionAndIntersectMatchPairwiseVersions) {
  const std::size_t sizes[] = {0, 1, 31, 32, 33, 64, 257};
  for (std::size_t a : sizes) {
    for (std::size_t b : sizes) {
      for (std::size_t fragments : {1u, 2u, 3u}) {
        std::vector<Value> values{list(a), list(b), list(a + b)};
        values.resize(fragments);
        SCOPED_TRACE(std::to_string(a) + "/" + std::to_string(b) + " x" +
                     std::to_string(fragments));
        const Merger::Result united = Merger({strategyRule("", S::union_)}).merge(values);
        EXPECT_EQ(united.value, unite(values));
        EXPECT_TRUE(united.warnings.empty());
        // The default merge of arrays is the same union.
        EXPECT_EQ(Merger({}).merge(values).value, fragments == 1 ? values[0] : unite(values));

        const Merger::Result common = Merger({strategyRule("", S::intersect)}).merge(values);
        const Value expected = intersect(values);
        EXPECT_EQ(common.value, expected);
        const bool warned = fragments >= 2 && expected.asArray()->empty();
        EXPECT_EQ(common.warnings.size(), warned ? 1u : 0u);
      }
    }
  }
}

TEST_F(MergerReferenceTest, DeniesMatchPairwiseVersions) {
  for (std::size_t size : {1u, 5u, 33u, 100u, 300u}) {
    for (std::size_t deniedSize : {1u, 2u, 40u}) {
      for (const std::optional<std::string>& field :
           {std::optional<std::string>(), std::optional<std::string>("name")}) {
        SCOPED_TRACE(std::to_string(size) + " deny " + std::to_string(deniedSize) +
                     (field ? " by name" : ""));
        const Value denied = list(deniedSize);
        const Value target = list(size);
        const Value merged = Merger({denyRule("d", "t", field)})
                                 .merge({Value::Object{{"d", denied}, {"t", target}}})
                                 .value;
        EXPECT_EQ(*merged.lookup("t"), denyEntries(target, denied, field));

        // An object target: keys named by the list's texts (and, by name, its objects' texts).
        Value::Object entries;
        for (int i = 0; i < static_cast<int>(size); ++i) {
          entries.emplace("s" + std::to_string(i % 15), Value(i));
        }
        Value::Object expected = entries;
        for (const Value& d : *denied.asArray()) {
          if (d.isString()) expected.erase(*d.asString());
          if (field && d.isObject() && key(d, *field).isString())
            expected.erase(*key(d, *field).asString());
        }
        const Merger::Result result = Merger({denyRule("d", "t", field)})
                                          .merge({Value::Object{{"d", denied}, {"t", entries}}});
        EXPECT_EQ(*result.value.lookup("t"), Value(expected));
        const std::size_t removed = entries.size() - expected.size();
        EXPECT_EQ(result.warnings,
                  removed == 0 ? std::vector<std::string>{}
                               : std::vector<std::string>{"t: removed " + std::to_string(removed) +
                                                          " key(s) denied by d"});
      }
    }
  }
}

}  // namespace
}  // namespace tavra
