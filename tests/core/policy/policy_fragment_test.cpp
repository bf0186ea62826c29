#include "tavra/policy_fragment.h"

#include <gtest/gtest.h>

#include "support/tavra_error.h"
#include "tavra/error.h"
#include "tavra/json.h"

namespace tavra {
namespace {

constexpr std::string_view kTeam = "com.zelkorandin.tavra.policy.team";

Value harnessesOf(Value outputs) {
  return Value::Object{{"claude", std::move(outputs)}};
}

Value minimalHarnesses() {
  return harnessesOf(Value::Object{{"settings", Value::Object{{"model", Value("opus")}}}});
}

// A payload with a valid Harnesses dictionary plus `extra`.
Value payload(Value::Object extra) {
  extra.emplace("Harnesses", minimalHarnesses());
  return Value(std::move(extra));
}

// The description of the fragment error `value` gives.
std::string errorOf(std::string_view domain, const Value& value) {
  return test::tavraErrorDescription(TavraError::Case::fragment,
                                     [&] { PolicyFragment::parse(domain, value); });
}

struct ErrorCase {
  const char* name;
  Value value;
  std::string expected;  // after "policy fragment: " + domain + ": "
};

TEST(PolicyFragmentTest, RefusedPayloadsNameTheDomainFirst) {
  const std::vector<ErrorCase> cases = {
      {"array root", Value(Value::Array{}), "root is not a dictionary"},
      {"text root", Value("x"), "root is not a dictionary"},
      {"priority real", payload({{"Priority", Value(2.5)}}), "Priority must be an integer"},
      {"priority word", payload({{"Priority", Value("ten")}}), "Priority must be an integer"},
      {"priority bool", payload({{"Priority", Value(true)}}), "Priority must be an integer"},
      {"priority array", payload({{"Priority", Value(Value::Array{})}}),
       "Priority must be an integer"},
      {"priority before harnesses", Value(Value::Object{{"Priority", Value("x")}}),
       "Priority must be an integer"},
      {"no harnesses", Value(Value::Object{}), "missing Harnesses dictionary"},
      {"harnesses text", Value(Value::Object{{"Harnesses", Value("x")}}),
       "missing Harnesses dictionary"},
      {"blank json ignored", Value(Value::Object{{"HarnessesJSON", Value(" \n\t\r\u00A0\u2028 ")}}),
       "missing Harnesses dictionary"},
      {"json not text ignored", Value(Value::Object{{"HarnessesJSON", Value(5)}}),
       "missing Harnesses dictionary"},
      {"json array", Value(Value::Object{{"HarnessesJSON", Value("[1]")}}),
       "missing Harnesses dictionary"},
      {"both, empty Harnesses",
       Value(Value::Object{{"Harnesses", Value(Value::Object{})}, {"HarnessesJSON", Value("{}")}}),
       "set either Harnesses or HarnessesJSON, not both"},
      {"both, Harnesses not a dictionary",
       Value(Value::Object{{"Harnesses", Value(1)}, {"HarnessesJSON", Value("{}")}}),
       "set either Harnesses or HarnessesJSON, not both"},
      {"json null", Value(Value::Object{{"HarnessesJSON", Value(R"({"a":{"b":null}})")}}),
       "HarnessesJSON is not valid JSON (unsupported value type: null)"},
      {"harness not a dictionary", Value(Value::Object{{"Harnesses", harnessesOf(Value(5))}}),
       "Harnesses.claude must be a dictionary of outputs"},
      {"json harness not a dictionary",
       Value(Value::Object{{"HarnessesJSON", Value(R"({"h":[]})")}}),
       "Harnesses.h must be a dictionary of outputs"},
  };
  for (const ErrorCase& c : cases) {
    EXPECT_EQ(errorOf(kTeam, c.value), "policy fragment: " + std::string(kTeam) + ": " + c.expected)
        << c.name;
  }
}

TEST(PolicyFragmentTest, MalformedHarnessesJSONKeepsTheReadersText) {
  const std::string message =
      errorOf("d", Value(Value::Object{{"HarnessesJSON", Value("{not json")}}));
  const std::string start = "policy fragment: d: HarnessesJSON is not valid JSON (";
  ASSERT_TRUE(message.starts_with(start)) << message;
  EXPECT_TRUE(message.ends_with(")"));
  EXPECT_GT(message.size(), start.size() + 1) << "the reader's own description is kept";
}

TEST(PolicyFragmentTest, DisabledBeforeAnyOtherCheck) {
  for (const Value& enabled : {Value(false), Value("NO"), Value(0), Value("false"), Value("0")}) {
    const Value value = Value::Object{{"Enabled", enabled}, {"Priority", Value("bad")}};
    EXPECT_EQ(PolicyFragment::parse(kTeam, value), std::nullopt) << json::write(enabled);
  }
  // The root type is still checked first.
  EXPECT_THROW(PolicyFragment::parse(kTeam, Value(false)), TavraError);
}

TEST(PolicyFragmentTest, EnabledValuesWithoutFalseKeepTheFragment) {
  for (const Value& enabled : {Value(true), Value("maybe"), Value(0.0), Value(Value::Array{}),
                               Value(1), Value(Value::Object{})}) {
    EXPECT_NE(PolicyFragment::parse(kTeam, payload({{"Enabled", enabled}})), std::nullopt)
        << json::write(enabled);
  }
}

TEST(PolicyFragmentTest, IdComesFromPolicyIDTextOrTheDomain) {
  struct Case {
    std::string domain;
    std::optional<Value> policyID;
    std::string id;
  };
  const std::vector<Case> cases = {
      {std::string(kTeam), std::nullopt, "team"},
      {"org.example.other", std::nullopt, "org.example.other"},
      {"com.zelkorandin.tavra.policy.", std::nullopt, ""},
      {"com.zelkorandin.tavra.policy.a.b", std::nullopt, "a.b"},
      {std::string(kTeam), Value(7), "team"},
      {std::string(kTeam), Value("custom"), "custom"},
      {std::string(kTeam), Value(""), ""},
  };
  for (const Case& c : cases) {
    Value::Object extra;
    if (c.policyID) extra.emplace("PolicyID", *c.policyID);
    const auto fragment = PolicyFragment::parse(c.domain, payload(extra));
    ASSERT_TRUE(fragment);
    EXPECT_EQ(fragment->id, c.id) << c.domain;
    EXPECT_EQ(fragment->sourceDomain, c.domain);
  }
}

TEST(PolicyFragmentTest, PriorityReadsIntegerViews) {
  const std::vector<std::pair<std::optional<Value>, std::int64_t>> cases = {
      {std::nullopt, 0},  {Value(10), 10}, {Value("10"), 10},
      {Value(2.0), 2},    {Value(-1), -1}, {Value("-9223372036854775808"), INT64_MIN},
      {Value("+007"), 7},
  };
  for (const auto& [priority, expected] : cases) {
    Value::Object extra;
    if (priority) extra.emplace("Priority", *priority);
    EXPECT_EQ(PolicyFragment::parse(kTeam, payload(extra))->priority, expected);
  }
}

TEST(PolicyFragmentTest, FieldsAreTakenAsGiven) {
  const Value outputs = Value::Object{{"settings", Value::Object{{"x", Value(1)}}},
                                      {"mcp", Value::Object{{"servers", Value(Value::Array{})}}}};
  const Value value = Value::Object{
      {"PolicyID", Value("base")},
      {"Priority", Value(3)},
      {"Description", Value("Org base")},
      {"Harnesses", Value::Object{{"claude", outputs}, {"codex", Value::Object{}}}},
      {"Unknown", Value("ignored")},
  };
  const PolicyFragment expected{
      .id = "base",
      .priority = 3,
      .description = "Org base",
      .sourceDomain = std::string(kTeam),
      .harnesses = {{"claude", *outputs.asObject()}, {"codex", {}}},
  };
  EXPECT_EQ(PolicyFragment::parse(kTeam, value), expected);
}

TEST(PolicyFragmentTest, EmptyHarnessesAndNonTextDescription) {
  const auto fragment = PolicyFragment::parse(
      kTeam, Value::Object{{"Harnesses", Value::Object{}}, {"Description", Value(5)}});
  ASSERT_TRUE(fragment);
  EXPECT_TRUE(fragment->harnesses.empty());
  EXPECT_EQ(fragment->description, std::nullopt);
}

TEST(PolicyFragmentTest, HarnessesJSONStandsInForHarnesses) {
  const auto fragment = PolicyFragment::parse(
      kTeam,
      Value::Object{{"HarnessesJSON", Value("\n  {\"claude\": {\"settings\": {\"n\": 2}}}  \n")}});
  ASSERT_TRUE(fragment);
  EXPECT_EQ(fragment->harnesses.at("claude").at("settings"), Value(Value::Object{{"n", Value(2)}}));

  // A blank HarnessesJSON beside Harnesses is ignored rather than refused.
  const auto withBlank = PolicyFragment::parse(kTeam, payload({{"HarnessesJSON", Value("  ")}}));
  ASSERT_TRUE(withBlank);
  EXPECT_EQ(withBlank->harnesses.size(), 1u);
}

TEST(PolicyFragmentTest, WrittenBackPayloadParsesToTheSameFragment) {
  const PolicyFragment fragment{.id = "x",
                                .priority = -4,
                                .description = std::nullopt,
                                .sourceDomain = "org.other",
                                .harnesses = {{"h", {{"o", Value(Value::Array{Value(1)})}}}}};
  Value::Object harnesses;
  for (const auto& [id, outputs] : fragment.harnesses) harnesses.emplace(id, Value(outputs));
  const Value written = Value::Object{{"PolicyID", Value(fragment.id)},
                                      {"Priority", Value(fragment.priority)},
                                      {"Harnesses", Value(harnesses)}};
  EXPECT_EQ(PolicyFragment::parse(fragment.sourceDomain, written), fragment);
}

PolicyFragment named(std::string id, std::int64_t priority, std::string domain = "") {
  return PolicyFragment{
      .id = std::move(id), .priority = priority, .sourceDomain = std::move(domain)};
}

TEST(PolicyFragmentTest, PrecedenceIsPriorityDescendingThenIdAscendingStable) {
  auto ids = [](const std::vector<PolicyFragment>& list) {
    std::vector<std::string> result;
    for (const auto& f : list) result.push_back(f.id + "@" + f.sourceDomain);
    return result;
  };
  EXPECT_EQ(ids(sortedByPrecedence({named("a", 0), named("b", 10), named("c", 10)})),
            (std::vector<std::string>{"b@", "c@", "a@"}));
  EXPECT_EQ(ids(sortedByPrecedence({named("x", 5, "1"), named("x", 5, "2"), named("x", 5, "0")})),
            (std::vector<std::string>{"x@1", "x@2", "x@0"}));
  EXPECT_EQ(ids(sortedByPrecedence(
                {named("a", -1), named("b", 0), named("c", INT64_MIN), named("d", INT64_MAX)})),
            (std::vector<std::string>{"d@", "b@", "a@", "c@"}));
  // Ids compare by code point: upper case before lower case, "é" after "z".
  EXPECT_EQ(ids(sortedByPrecedence({named("z", 1), named("\u00e9", 1), named("Z", 1)})),
            (std::vector<std::string>{"Z@", "z@", "\u00e9@"}));
  EXPECT_TRUE(sortedByPrecedence({}).empty());
}

TEST(PolicyFragmentTest, IdsCompareAsTextWhateverTheirNormalForm) {
  auto ids = [](const std::vector<PolicyFragment>& list) {
    std::vector<std::string> result;
    for (const auto& f : list) result.push_back(f.id + "@" + f.sourceDomain);
    return result;
  };
  // "e" + combining acute is the text "é": it sorts after "f" as its composed form does, although
  // its first byte sorts before.
  const std::string decomposed = "e\xcc\x81";
  EXPECT_EQ(ids(sortedByPrecedence({named(decomposed, 1), named("f", 1)})),
            (std::vector<std::string>{"f@", decomposed + "@"}));
  // The two spellings of one text are the same id: they keep their input order.
  EXPECT_EQ(ids(sortedByPrecedence(
                {named(decomposed, 1, "1"), named("\u00e9", 1, "2"), named(decomposed, 1, "3")})),
            (std::vector<std::string>{decomposed + "@1", "\u00e9@2", decomposed + "@3"}));
  EXPECT_FALSE(PolicyFragment::precedes(named("\u00e9", 1), named(decomposed, 1)));
  EXPECT_FALSE(PolicyFragment::precedes(named(decomposed, 1), named("\u00e9", 1)));
}

}  // namespace
}  // namespace tavra
