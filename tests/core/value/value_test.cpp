#include "tavra/value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>

#include "support/thrown.h"
#include "tavra/json.h"
#include "tavra/platform/unicode.h"

namespace tavra {
namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

Value object(std::string_view json) {
  return Value::parseJSON(json);
}

TEST(ValueTest, CasesKeepTheirOrderAndNames) {
  const Value values[] = {
      Value("s"), Value(1), Value(1.0), Value(true), Value(Value::Array{}), Value(Value::Object{})};
  const char* names[] = {"string", "int", "double", "bool", "array", "object"};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(static_cast<int>(values[i].kind()), i);
    EXPECT_EQ(kindName(values[i].kind()), names[i]);
  }
  EXPECT_TRUE(Value().isObject());
  EXPECT_TRUE(Value(std::uint32_t{7}).isInt());
}

TEST(ValueTest, EqualityIsExactPerCase) {
  EXPECT_NE(Value(1), Value(1.0));
  EXPECT_NE(Value(true), Value(1));
  EXPECT_NE(Value("1"), Value(1));
  EXPECT_NE(Value(false), Value(0));
  EXPECT_EQ(Value(0.0), Value(-0.0));
  EXPECT_NE(Value(std::nan("")), Value(std::nan("")));
  EXPECT_EQ(object(R"({"a":[1,{"b":2.5}],"c":"x"})"), object(R"({"c":"x","a":[1,{"b":2.5}]})"));
  EXPECT_NE(object("[1,2]"), object("[2,1]"));
  EXPECT_NE(object("[1]"), object("[1,1]"));
  EXPECT_NE(object(R"({"a":1})"), object(R"({"a":1,"b":1})"));
  EXPECT_NE(object(R"({"a":1})"), object(R"({"b":1})"));
}

TEST(ValueTest, HashAgreesWithEqualityAndServesHashedSets) {
  std::unordered_set<Value> set{Value(1),
                                Value(1.0),
                                Value(true),
                                Value("1"),
                                Value(Value::Array{Value(1)}),
                                Value(Value::Object{})};
  EXPECT_EQ(set.size(), 6u);
  EXPECT_EQ(set.count(Value(1)), 1u);
  EXPECT_EQ(set.count(Value(1.0)), 1u);
  EXPECT_EQ(set.count(Value(2)), 0u);
  EXPECT_EQ(Value(0.0).hash(), Value(-0.0).hash());
  EXPECT_EQ(object(R"({"a":1,"b":[true,"x"]})").hash(), object(R"({"b":[true,"x"],"a":1})").hash());
  set.insert(Value(-0.0));
  EXPECT_EQ(set.count(Value(0.0)), 1u);
}

TEST(ValueTest, CopiesAreIndependent) {
  Value original = object(R"({"a":{"b":[1]}})");
  Value copy = original;
  copy.asObject()->at("a").asObject()->at("b").asArray()->push_back(Value(2));
  EXPECT_EQ(json::write(original), R"({"a":{"b":[1]}})");
  EXPECT_EQ(json::write(copy), R"({"a":{"b":[1,2]}})");
}

TEST(ValueTest, BoolView) {
  const struct {
    Value value;
    std::optional<bool> expected;
  } cases[] = {
      {Value(true), true},
      {Value(false), false},
      {Value(-3), true},
      {Value(0), false},
      {Value("YES"), true},
      {Value("True"), true},
      {Value("1"), true},
      {Value("yes"), true},
      {Value("0"), false},
      {Value("No"), false},
      {Value("FALSE"), false},
      {Value(" true"), std::nullopt},
      {Value("on"), std::nullopt},
      {Value(""), std::nullopt},
      {Value(1.0), std::nullopt},
      {Value(Value::Array{}), std::nullopt},
      {Value(Value::Object{}), std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value.boolValue(), c.expected) << json::write(c.value);
}

TEST(ValueTest, IntView) {
  const struct {
    Value value;
    std::optional<std::int64_t> expected;
  } cases[] = {
      {Value(42), 42},
      {Value(3.0), 3},
      {Value(-0.0), 0},
      {Value(3.5), std::nullopt},
      {Value(std::nan("")), std::nullopt},
      {Value(1e19), std::nullopt},
      {Value(HUGE_VAL), std::nullopt},
      {Value(-HUGE_VAL), std::nullopt},
      {Value(-9223372036854775808.0), kMin},
      {Value(9223372036854775808.0), std::nullopt},
      {Value(9223372036854774784.0), 9223372036854774784},  // the largest real below 2^63
      {Value("+7"), 7},
      {Value("007"), 7},
      {Value("-0"), 0},
      {Value("-9223372036854775808"), kMin},
      {Value("9223372036854775807"), kMax},
      {Value("9223372036854775808"), std::nullopt},
      {Value("-9223372036854775809"), std::nullopt},
      {Value(" 7"), std::nullopt},
      {Value("7 "), std::nullopt},
      {Value("7.0"), std::nullopt},
      {Value("0x10"), std::nullopt},
      {Value("1_000"), std::nullopt},
      {Value(""), std::nullopt},
      {Value("+"), std::nullopt},
      {Value("-"), std::nullopt},
      {Value("+-1"), std::nullopt},
      {Value("\xD9\xA3"), std::nullopt},  // an Arabic-Indic digit is no ASCII digit
      {Value(true), std::nullopt},
      {Value(Value::Array{Value(1)}), std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.value.intValue(), c.expected)
        << kindName(c.value.kind()) << " " << (c.value.isString() ? *c.value.asString() : "");
  }
}

TEST(ValueTest, TextArrayAndObjectViews) {
  EXPECT_EQ(Value("x").stringValue(), "x");
  EXPECT_EQ(Value(1).stringValue(), std::nullopt);
  EXPECT_EQ(Value(Value::Array{Value(1)}).arrayValue(), Value::Array{Value(1)});
  EXPECT_EQ(Value("x").arrayValue(), std::nullopt);
  EXPECT_EQ(object(R"({"a":1})").objectValue(), (Value::Object{{"a", Value(1)}}));
  EXPECT_EQ(Value(Value::Array{}).objectValue(), std::nullopt);
}

TEST(ValueTest, SubscriptWalksObjectsOnly) {
  const Value v = object(R"({"a":{"b":{"c":1}},"list":[{"x":1}],"s":"t"})");
  EXPECT_EQ(v[KeyPath("a.b.c")], Value(1));
  EXPECT_EQ(v[KeyPath("a.b")], object(R"({"c":1})"));
  EXPECT_EQ(v[KeyPath()], v);
  EXPECT_EQ(Value(5)[KeyPath()], Value(5));
  EXPECT_EQ(Value(5)[KeyPath("a")], std::nullopt);
  EXPECT_EQ(v[KeyPath("a.x")], std::nullopt);
  EXPECT_EQ(v[KeyPath("list.0.x")], std::nullopt);
  EXPECT_EQ(v[KeyPath("s.t")], std::nullopt);
  EXPECT_EQ(v.lookup(KeyPath("a.b.c")),
            &v.asObject()->at("a").asObject()->at("b").asObject()->at("c"));
  EXPECT_EQ(v.lookup(KeyPath("nope")), nullptr);
}

TEST(ValueTest, Setting) {
  const struct {
    const char* base;
    std::optional<const char*> newValue;
    const char* path;
    const char* expected;
  } cases[] = {
      {R"({"a":"s"})", "1", "a.b", R"({"a":{"b":1}})"},
      {R"("text")", "1", "a", R"({"a":1})"},
      {R"({"x":1})", "2", "a.b.c", R"({"a":{"b":{"c":2}},"x":1})"},
      {R"({"a":{"b":1,"c":2}})", "[3]", "a.b", R"({"a":{"b":[3],"c":2}})"},
      {R"({"a":[1]})", "2", "a.b", R"({"a":{"b":2}})"},
      {R"({"a":1})", "true", "", "true"},
      {R"({})", std::nullopt, "a.b", R"({})"},
      {R"({"a":5})", std::nullopt, "a.b", R"({"a":5})"},
      {R"({"a":1,"b":2})", std::nullopt, "a", R"({"b":2})"},
      {R"({"a":1})", std::nullopt, "x", R"({"a":1})"},
      {R"({"a":{"b":1,"c":2}})", std::nullopt, "a.b", R"({"a":{"c":2}})"},
      {R"({"a":{"b":1}})", std::nullopt, "a.x.y", R"({"a":{"b":1}})"},
      {R"({"a":1})", std::nullopt, "", R"({"a":1})"},
      {R"("text")", std::nullopt, "a", R"("text")"},
  };
  for (const auto& c : cases) {
    const Value base = object(c.base);
    const std::optional<Value> newValue =
        c.newValue ? std::optional<Value>(object(*c.newValue)) : std::nullopt;
    EXPECT_EQ(json::write(base.setting(newValue, KeyPath(c.path))), c.expected)
        << c.base << " " << c.path;
    EXPECT_EQ(base, object(c.base)) << "the receiver changed";
  }
}

TEST(ValueTest, ConversionErrorText) {
  const Value::ConversionError error("null");
  EXPECT_STREQ(error.what(), "unsupported value type: null");
  EXPECT_EQ(error.typeName(), "null");
  EXPECT_EQ(error, Value::ConversionError("null"));
  EXPECT_FALSE(error == Value::ConversionError("uid"));
}

// Reader messages quote the input; they stay well-formed UTF-8 so that they can be reported in
// a JSON status file.
TEST(ValueTest, ReadErrorTextIsAlwaysValidUTF8) {
  const struct {
    std::string bytes;
    bool plist;
  } cases[] = {
      {"\"\xFF\"", false},
      {"[\xE2\x82]", false},
      {"\"a\xC3\"", false},
      {"\xFF", false},
      {"{\"\xED\xA0\x80\":1}", false},
      {"<plist><integer>\xFF</integer></plist>", true},
      {"<plist><real>1\xC3</real></plist>", true},
      {"<plist><date>\xE2\x82</date></plist>", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    const std::string text = test::thrownText<Value::ReadError>(
        [&] { (void)(c.plist ? Value::parsePlist(c.bytes) : Value::parseJSON(c.bytes)); });
    EXPECT_TRUE(unicode::isValidUTF8(text)) << text;
    EXPECT_TRUE(text.starts_with(c.plist ? "invalid property list: " : "invalid JSON: ")) << text;
  }
  EXPECT_STREQ(Value::ReadError("bad \xFF byte").what(), "bad \xEF\xBF\xBD byte");
  EXPECT_STREQ(Value::ReadError("caf\xC3\xA9").what(), "caf\xC3\xA9");
}

// Reader messages quote pieces of the input, which may be megabytes long; the message stays short
// enough for a report or a log line and still says what is wrong.
TEST(ValueTest, ReadErrorTextStaysShortWhateverItQuotes) {
  const std::string long_(1'000'000, 'a');
  const struct {
    std::string bytes;
    bool plist;
    const char* reason;
  } cases[] = {
      {"\"" + long_ + "\x01\"", false, "control character"},
      {"\"" + long_, false, "missing closing quote"},
      {"[" + std::string(1'000'000, '1') + "]", false, "number overflow"},
      {"<plist><integer>" + std::string(1'000'000, '9') + "</integer></plist>", true,
       "integer out of range"},
      {"<plist><real>" + long_ + "</real></plist>", true, "malformed <real>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    const std::string text = test::thrownText<Value::ReadError>(
        [&] { (void)(c.plist ? Value::parsePlist(c.bytes) : Value::parseJSON(c.bytes)); });
    EXPECT_LE(text.size(), 520u) << c.reason;
    EXPECT_NE(text.find(c.reason), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with("\xE2\x80\xA6")) << text;  // "…" marks the cut
    EXPECT_TRUE(unicode::isValidUTF8(text));
  }
  // The cut falls between characters, and short messages stay whole.
  const std::string repaired = Value::ReadError(std::string(600, '\xC3')).what();
  EXPECT_TRUE(unicode::isValidUTF8(repaired));
  EXPECT_LE(repaired.size(), 515u);
  const std::string accents = [] {
    std::string text;
    for (int i = 0; i < 400; ++i) text += "\xC3\xA9";
    return text;
  }();
  const std::string cut = Value::ReadError("x" + accents).what();
  EXPECT_TRUE(unicode::isValidUTF8(cut));
  EXPECT_LE(cut.size(), 515u);
  EXPECT_EQ(cut.substr(0, 3), "x\xC3\xA9");
  EXPECT_STREQ(Value::ReadError("short").what(), "short");
}

TEST(ValueTest, ReadableTextRepairsTextsAndKeysAtEveryDepth) {
  const Value odd = Value::Object{
      {"ok", Value::Array{"caf\xC3\xA9", "bad \xFF", 7}},
      {"key \xFE", Value::Object{{"inner", "\xC0"}}},
  };
  const Value expected = Value::Object{
      {"ok", Value::Array{"caf\xC3\xA9", "bad \xEF\xBF\xBD", 7}},
      {"key \xEF\xBF\xBD", Value::Object{{"inner", "\xEF\xBF\xBD"}}},
  };
  EXPECT_EQ(withReadableText(odd), expected);
  EXPECT_EQ(withReadableText(expected), expected);
}

}  // namespace
}  // namespace tavra
