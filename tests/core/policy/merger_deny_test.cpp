// Deny rules: what a list of denied names removes from its target, and the warnings it gives.
#include "tavra/merger.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/policy/merger_cases.h"

namespace tavra::test {
namespace {

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

}  // namespace
}  // namespace tavra::test
