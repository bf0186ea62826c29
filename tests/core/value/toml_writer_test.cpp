#include "tavra/toml_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "support/tavra_error.h"
#include "tavra/error.h"

namespace tavra {
namespace {

const std::string header =
    "# Managed by Tavra (com.zelkorandin.tavra). Local changes are overwritten.\n";

Value J(const std::string& text) {
  return Value::parseJSON(text);
}

TEST(TOMLWriterTest, WorkedExample) {
  const Value value = J(R"({"name": "x", "server": {"port": 8080},
      "groups": {"admin": {"level": 2, "tags": ["a", "b"]}},
      "jobs": [{"id": "a"}, {"id": "b", "env": {}}], "sizes": [1, 2.0]})");
  EXPECT_EQ(TOMLWriter::write(value), header +
                                          "name = \"x\"\n"
                                          "sizes = [1, 2.0]\n"
                                          "\n"
                                          "[groups.admin]\n"
                                          "level = 2\n"
                                          "tags = [\"a\", \"b\"]\n"
                                          "\n"
                                          "[server]\n"
                                          "port = 8080\n"
                                          "\n"
                                          "[[jobs]]\n"
                                          "id = \"a\"\n"
                                          "\n"
                                          "[[jobs]]\n"
                                          "id = \"b\"\n"
                                          "\n"
                                          "[jobs.env]\n");
}

struct DocumentCase {
  const char* name;
  std::string json;
  std::string body;  // after the header line
};

class TOMLDocumentTest : public ::testing::TestWithParam<DocumentCase> {};

TEST_P(TOMLDocumentTest, WritesTheBytes) {
  EXPECT_EQ(TOMLWriter::write(J(GetParam().json)), header + GetParam().body);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TOMLDocumentTest,
    ::testing::Values(
        DocumentCase{"EmptyRoot", "{}", ""}, DocumentCase{"EmptyTable", R"({"a": {}})", "\n[a]\n"},
        DocumentCase{"OnlySubTablesGetNoHeader", R"({"a": {"b": {"c": 1}}})", "\n[a.b]\nc = 1\n"},
        DocumentCase{"TableWithOnlyArrayOfTables", R"({"a": {"t": [{"x": 1}]}})",
                     "\n[[a.t]]\nx = 1\n"},
        DocumentCase{"TableWithEmptySubTable", R"({"a": {"b": {}}})", "\n[a.b]\n"},
        DocumentCase{"MixedTableGetsHeader", R"({"a": {"b": {"c": 1}, "v": 2}})",
                     "\n[a]\nv = 2\n\n[a.b]\nc = 1\n"},
        DocumentCase{"EmptyArrayIsPlain", R"({"x": []})", "x = []\n"},
        DocumentCase{"MixedArrayIsInline", R"({"x": [{"a": 1}, 2]})", "x = [{ a = 1 }, 2]\n"},
        DocumentCase{"EmptyInlineTable", R"({"x": [{}, 1]})", "x = [{  }, 1]\n"},
        DocumentCase{"NestedInline", R"({"x": [{"b": [1, {"c": "d"}], "a": {}}, []]})",
                     "x = [{ a = {  }, b = [1, { c = \"d\" }] }, []]\n"},
        DocumentCase{"EmptyElementOfArrayOfTables", R"({"t": [{}, {"a": 1}]})",
                     "\n[[t]]\n\n[[t]]\na = 1\n"},
        DocumentCase{"ArraysOfTablesComeLast", R"({"a": [{"x": 1}], "b": {"y": 2}, "c": 3})",
                     "c = 3\n\n[b]\ny = 2\n\n[[a]]\nx = 1\n"},
        DocumentCase{"ArrayOfTablesNested",
                     R"({"t": [{"n": 1, "sub": [{"m": 2}], "tab": {"k": 3}}]})",
                     "\n[[t]]\nn = 1\n\n[t.tab]\nk = 3\n\n[[t.sub]]\nm = 2\n"},
        DocumentCase{"QuotedKeysInHeaders", R"({"a b": {"c.d": {"x": 1}}})",
                     "\n[\"a b\".\"c.d\"]\nx = 1\n"},
        DocumentCase{"CodePointOrder", R"({"a": 1, "B": 2, "_": 3, "1": 4})",
                     "1 = 4\nB = 2\n_ = 3\na = 1\n"},
        DocumentCase{"PlainBeforeTables", R"({"a": {"x": 1}, "b": 2})", "b = 2\n\n[a]\nx = 1\n"},
        DocumentCase{"Scalars",
                     R"({"i": -42, "t": true, "f": false, "r": 0.1, "big": 9223372036854775807})",
                     "big = 9223372036854775807\nf = false\ni = -42\nr = 0.1\nt = true\n"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(TOMLWriterTest, KeysSortByTheirNFCForm) {
  // "e" + combining acute sorts before "f" by raw bytes, but its NFC form (U+00E9) sorts after.
  Value::Object entries;
  entries.emplace("e\xcc\x81x", Value(1));
  entries.emplace("f", Value(2));
  EXPECT_EQ(TOMLWriter::write(Value(entries)), header + "f = 2\n\"e\xcc\x81x\" = 1\n");
  EXPECT_EQ(TOMLWriter::inline_(Value(entries)), "{ f = 2, \"e\xcc\x81x\" = 1 }");
}

TEST(TOMLWriterTest, NonObjectRootIsRefused) {
  for (const Value& value : {Value("x"), Value(1), Value(Value::Array{})}) {
    EXPECT_EQ(test::tavraErrorMessage(TavraError::Case::render, [&] { TOMLWriter::write(value); }),
              "TOML root must be a table");
  }
}

TEST(TOMLWriterTest, Reals) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, const char*> cases[] = {
      {1.0, "1.0"},
      {0.1, "0.1"},
      {0.00001, "1e-05"},
      {0.0001, "0.0001"},
      {1e300, "1e+300"},
      {2.5e20, "2.5e+20"},
      {100.0, "100.0"},
      {1.5, "1.5"},
      {-2.25, "-2.25"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {9007199254740991.0, "9007199254740991.0"},  // largest plain: below 2^53
      {9007199254740992.0, "9.007199254740992e+15"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::quiet_NaN(), "nan"},
      {-std::numeric_limits<double>::quiet_NaN(), "nan"},
      {inf, "inf"},
      {-inf, "-inf"},
  };
  for (const auto& [real, text] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(TOMLWriter::inline_(Value(real)), text);
  }
  EXPECT_EQ(TOMLWriter::inline_(Value(1)), "1");
  EXPECT_EQ(TOMLWriter::inline_(Value(std::numeric_limits<std::int64_t>::min())),
            "-9223372036854775808");
}

TEST(TOMLWriterTest, QuoteString) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "\"plain\""},
      {"", "\"\""},
      {"a\tb\nc\rd", "\"a\\tb\\nc\\rd\""},
      {"q\"b\\", "\"q\\\"b\\\\\""},
      {"\x1b", "\"\\u001B\""},
      {"\x7f", "\"\\u007F\""},
      {"\b\f", "\"\\u0008\\u000C\""},
      {std::string("\0", 1), "\"\\u0000\""},
      {"caf\xc3\xa9 \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xf0\x9f\x98\x80\""},
      {"\xc2\x85", "\"\xc2\x85\""},  // U+0085 is not below U+0020: copied
  };
  for (const auto& [text, quoted] : cases) {
    SCOPED_TRACE(quoted);
    EXPECT_EQ(TOMLWriter::quoteString(text), quoted);
  }
}

TEST(TOMLWriterTest, QuoteKey) {
  const std::pair<std::string, std::string> cases[] = {
      {"abc_XYZ-09", "abc_XYZ-09"},
      {"", "\"\""},
      {"a b", "\"a b\""},
      {"a.b", "\"a.b\""},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
      {"a\"", "\"a\\\"\""},
      {"-", "-"},
  };
  for (const auto& [key, written] : cases) {
    SCOPED_TRACE(written);
    EXPECT_EQ(TOMLWriter::quoteKey(key), written);
  }
}

}  // namespace
}  // namespace tavra
