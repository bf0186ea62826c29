#include "tavra/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "support/python.h"
#include "support/temp_tree.h"
#include "support/thrown.h"
#include "tavra/value.h"

namespace tavra {
namespace {

std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) out.append(piece);
  return out;
}

void expectReadError(std::string_view text, std::string_view message) {
  const std::string error =
      test::thrownText<Value::ReadError>([&] { (void)Value::parseJSON(text); });
  EXPECT_NE(error.find(message), std::string::npos) << error << " for " << text.substr(0, 80);
}

// --- Reading ---------------------------------------------------------------------------------

TEST(JSONReadTest, NumbersAndFragments) {
  const struct {
    const char* text;
    Value expected;
  } cases[] = {
      {"7", Value(7)},
      {"-0", Value(0)},
      {"-0.0", Value(-0.0)},
      {"1.0", Value(1.0)},
      {"1e2", Value(100.0)},
      {"9223372036854775807", Value(std::numeric_limits<std::int64_t>::max())},
      {"-9223372036854775808", Value(std::numeric_limits<std::int64_t>::min())},
      // Beyond the signed range: the nearest real, never a wrapped integer.
      {"9223372036854775808", Value(9223372036854775808.0)},
      {"18446744073709551615", Value(18446744073709551616.0)},
      {"-9223372036854775809", Value(-9223372036854775808.0)},
      {"123456789012345678901234567890", Value(1.2345678901234568e29)},
      {"\"text\"", Value("text")},
      {" true ", Value(true)},
      {"false", Value(false)},
      {"\"\\u00e9\\ud83d\\ude00\\/\"", Value("\xC3\xA9\xF0\x9F\x98\x80/")},
      {"[]", Value(Value::Array{})},
      {"{}", Value(Value::Object{})},
      {R"({"a":1,"a":2})", Value(Value::Object{{"a", Value(2)}})},
  };
  for (const auto& c : cases) {
    const Value v = Value::parseJSON(c.text);
    EXPECT_EQ(v, c.expected) << c.text;
    EXPECT_EQ(v.kind(), c.expected.kind()) << c.text;
  }
}

TEST(JSONReadTest, NullAnywhereIsAConversionError) {
  for (const char* text : {"null", "[1,null]", R"({"a":{"b":[null]}})", R"({"a":null,"b":1})"}) {
    EXPECT_EQ(test::thrownText<Value::ConversionError>([&] { (void)Value::parseJSON(text); }),
              "unsupported value type: null")
        << text;
  }
  // Malformed text wins over a null met before the fault.
  expectReadError("[null,", "invalid JSON");
}

TEST(JSONReadTest, MalformedInputIsAReadError) {
  for (const char* text :
       {"",        " ",        "{",           "[1,]",     "{\"a\"}",   "01",    "1.",
        ".5",      "+1",       "NaN",         "Infinity", "'x'",       "[1] x", "{\"a\":1}}",
        "\"\\x\"", "\"a\nb\"", "\"\\ud800\"", "tru",      "/* c */ 1", "1e999", "-1e999"}) {
    expectReadError(text, "invalid JSON");
  }
  // Ill-formed UTF-8, inside strings and out.
  for (const char* text :
       {"\"\xFF\"", "\"\xC0\xAF\"", "\"\xED\xA0\x80\"", "\"\xE2\x82\"", "\xEF\xBB\xBF\xFF"}) {
    expectReadError(text, "invalid JSON");
  }
}

TEST(JSONReadTest, DeepNestingIsRefusedWithoutRecursion) {
  const std::string limit = std::to_string(Value::maxDepth);
  EXPECT_TRUE(
      Value::parseJSON(repeat("[", Value::maxDepth) + repeat("]", Value::maxDepth)).isArray());
  expectReadError(repeat("[", Value::maxDepth + 1) + repeat("]", Value::maxDepth + 1),
                  "nesting deeper than " + limit + " levels");
  for (const std::string& text : {repeat("[", 100000) + repeat("]", 100000), repeat("[", 100000),
                                  repeat("{\"k\":", 100000) + "1" + repeat("}", 100000)}) {
    expectReadError(text, "nesting deeper than " + limit + " levels");
  }
}

TEST(JSONReadTest, DocumentsOfTensOfMegabytesParse) {
  std::string text = "[";
  const std::string item = R"({"name":"some configuration text","n":12345,"r":0.5},)";
  for (int i = 0; i < 600000; ++i) text += item;
  text.back() = ']';
  ASSERT_GT(text.size(), 30000000u);
  const Value v = Value::parseJSON(text);
  ASSERT_TRUE(v.isArray());
  EXPECT_EQ(v.asArray()->size(), 600000u);
}

// --- Writing ---------------------------------------------------------------------------------

TEST(JSONWriteTest, CompactAndPrettyForms) {
  const Value v = Value::parseJSON(
      R"({"b":[1,2.5,"x/y",true,[],{}],"a":{"c":-3,"B":false},"\u00e9":"\u00fc","":0.0})");
  EXPECT_EQ(json::write(v),
            "{\"\":0.0,\"a\":{\"B\":false,\"c\":-3},\"b\":[1,2.5,\"x/y\",true,[],{}],"
            "\"\xC3\xA9\":\"\xC3\xBC\"}");
  EXPECT_EQ(json::write(v, {.pretty = true}),
            "{\n"
            "  \"\" : 0.0,\n"
            "  \"a\" : {\n"
            "    \"B\" : false,\n"
            "    \"c\" : -3\n"
            "  },\n"
            "  \"b\" : [\n"
            "    1,\n"
            "    2.5,\n"
            "    \"x/y\",\n"
            "    true,\n"
            "    [],\n"
            "    {}\n"
            "  ],\n"
            "  \"\xC3\xA9\" : \"\xC3\xBC\"\n"
            "}");
  EXPECT_EQ(json::write(Value("a/b"), {.escapeSlash = true}), "\"a\\/b\"");
  EXPECT_EQ(json::write(Value(Value::Object{{"p/q", Value("/")}}), {.escapeSlash = true}),
            "{\"p\\/q\":\"\\/\"}");
  EXPECT_EQ(json::write(Value("a/b")), "\"a/b\"");
  EXPECT_EQ(json::write(Value(7)), "7");
  EXPECT_EQ(json::write(Value(Value::Array{}), {.pretty = true}), "[]");
  EXPECT_EQ(json::write(Value(Value::Array{Value(1)}), {.pretty = true}), "[\n  1\n]");
}

TEST(JSONWriteTest, StringEscapes) {
  EXPECT_EQ(json::write(Value(std::string("q\"b\\\b\f\n\r\t\x01\x1f\x7f\0", 13))),
            "\"q\\\"b\\\\\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\\u0000\"");
  EXPECT_EQ(json::write(Value("\xF0\x9F\x98\x80 \xE2\x80\xA8")),
            "\"\xF0\x9F\x98\x80 \xE2\x80\xA8\"");
}

TEST(JSONWriteTest, RealsReadBackAsReals) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {1.0, "1.0"},
      {-1.0, "-1.0"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {0.1, "0.1"},
      {1.5, "1.5"},
      {100.0, "100.0"},
      {0.0001, "0.0001"},
      {0.00001, "1e-05"},
      {123456789012345.0, "123456789012345.0"},
      {9007199254740991.0, "9007199254740991.0"},
      {9007199254740992.0, "9.007199254740992e+15"},
      {1e16, "1e+16"},
      {2.5e20, "2.5e+20"},
      {1e300, "1e+300"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {0.30000000000000004, "0.30000000000000004"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(json::realText(c.value), c.text);
    EXPECT_EQ(json::write(Value(c.value)), c.text);
    const Value back = Value::parseJSON(c.text);
    ASSERT_TRUE(back.isDouble()) << c.text;
    EXPECT_EQ(std::signbit(*back.asDouble()), std::signbit(c.value)) << c.text;
    EXPECT_EQ(*back.asDouble(), c.value) << c.text;
  }
}

TEST(JSONWriteTest, NaNAndInfinitiesAreRefused) {
  for (const double x : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
    for (const Value& v : {Value(x), Value(Value::Array{Value(1), Value(x)}),
                           Value(Value::Object{{"a", Value(Value::Object{{"b", Value(x)}})}})}) {
      EXPECT_THROW((void)json::write(v), json::WriteError);
      EXPECT_THROW((void)json::write(v, {.pretty = true}), json::WriteError);
    }
  }
  EXPECT_EQ(test::thrownText<json::WriteError>([] { (void)json::write(Value(std::nan(""))); }),
            "JSON cannot represent the number NaN");
}

// python3's json module reads both forms to the same data, integers and reals kept apart.
TEST(JSONWriteTest, Python3ReadsBothForms) {
  if (!test::pythonHas({"json"})) GTEST_SKIP() << "python3 not available";
  test::TempTree tree;
  const Value v = Value::parseJSON(
      R"({"a":[1,1.0,-0.0,1e-05,2.5e20,"x/y\u0001\u00e9"],"b":{"c":true,"d":{}},"e":[]})");
  const std::string compact = tree.write("c.json", json::write(v));
  const std::string pretty = tree.write("p.json", json::write(v, {.pretty = true}));
  const std::string slash = tree.write("s.json", json::write(v, {.escapeSlash = true}));
  const auto result = test::runPython(R"(
import json, sys
def typed(x):
    if isinstance(x, bool): return ['bool', x]
    if isinstance(x, int): return ['int', x]
    if isinstance(x, float): return ['real', repr(x)]
    if isinstance(x, list): return [typed(e) for e in x]
    if isinstance(x, dict): return {k: typed(v) for k, v in x.items()}
    return x
docs = [typed(json.load(open(p, encoding='utf-8'))) for p in sys.argv[1:]]
assert docs[0] == docs[1] == docs[2], docs
print(json.dumps(docs[0], sort_keys=True))
)",
                                      {compact, pretty, slash});
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_NE(result.output.find(R"(["int", 1], ["real", "1.0"], ["real", "-0.0"])"),
            std::string::npos)
      << result.output;
}

}  // namespace
}  // namespace tavra
