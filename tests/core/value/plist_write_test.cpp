// Writing property lists: the XML byte form, the texts XML cannot carry, and random values that
// read back the same here and in python3's plistlib.
#include "tavra/plist.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/value/plist_samples.h"
#include "support/python.h"
#include "support/temp_tree.h"
#include "support/thrown.h"
#include "tavra/json.h"
#include "tavra/value.h"

namespace tavra {
namespace {

using test::xmlPlist;

TEST(PlistWriteTest, ByteForm) {
  Value::Object inner{{"z", Value(Value::Array{})}, {"y", Value(Value::Object{})}};
  const Value value(Value::Object{
      {"b", Value(Value::Array{Value(1), Value(-2), Value(true), Value(false)})},
      {"B", Value("upper")},
      {"a", Value(Value::Array{Value(1.0), Value(0.1), Value(-0.0), Value(1e-05), Value(2.5e20),
                               Value(std::nan("")), Value(HUGE_VAL), Value(-HUGE_VAL)})},
      {"\xC3\xA9", Value("a&b<c>d\r\n\te\xF0\x9F\x98\x80")},
      {"n", Value(inner)},
  });
  EXPECT_EQ(plist::writeXML(value), xmlPlist("<dict>\n"
                                             "\t<key>B</key>\n"
                                             "\t<string>upper</string>\n"
                                             "\t<key>a</key>\n"
                                             "\t<array>\n"
                                             "\t\t<real>1.0</real>\n"
                                             "\t\t<real>0.1</real>\n"
                                             "\t\t<real>-0.0</real>\n"
                                             "\t\t<real>1e-05</real>\n"
                                             "\t\t<real>2.5e+20</real>\n"
                                             "\t\t<real>nan</real>\n"
                                             "\t\t<real>+infinity</real>\n"
                                             "\t\t<real>-infinity</real>\n"
                                             "\t</array>\n"
                                             "\t<key>b</key>\n"
                                             "\t<array>\n"
                                             "\t\t<integer>1</integer>\n"
                                             "\t\t<integer>-2</integer>\n"
                                             "\t\t<true/>\n"
                                             "\t\t<false/>\n"
                                             "\t</array>\n"
                                             "\t<key>n</key>\n"
                                             "\t<dict>\n"
                                             "\t\t<key>y</key>\n"
                                             "\t\t<dict/>\n"
                                             "\t\t<key>z</key>\n"
                                             "\t\t<array/>\n"
                                             "\t</dict>\n"
                                             "\t<key>\xC3\xA9</key>\n"
                                             "\t<string>a&amp;b&lt;c&gt;d&#13;\n"
                                             "\te\xF0\x9F\x98\x80</string>\n"
                                             "</dict>"));
  EXPECT_EQ(plist::writeXML(Value("x")), xmlPlist("<string>x</string>"));
  EXPECT_EQ(plist::writeXML(Value(Value::Object{})), xmlPlist("<dict/>"));
}

TEST(PlistWriteTest, RefusesTextXMLCannotCarry) {
  const struct {
    std::string text;
    const char* message;
  } cases[] = {
      {"a\x01"
       "b",
       "character U+0001"},
      {std::string("a\0b", 3), "character U+0000"},
      {"\x1B[0m", "character U+001B"},
      {"\xEF\xBF\xBE", "character U+FFFE"},
      {"\xFF", "not valid UTF-8"},
      {"\xC0\xAF", "not valid UTF-8"},
      {"\xED\xA0\x80", "not valid UTF-8"},
      {"\xE2\x82", "not valid UTF-8"},
  };
  for (const auto& c : cases) {
    for (const Value& value : {Value(c.text), Value(Value::Object{{c.text, Value(1)}})}) {
      const std::string error =
          test::thrownText<plist::WriteError>([&] { (void)plist::writeXML(value); });
      EXPECT_NE(error.find(c.message), std::string::npos)
          << error << " for " << json::write(Value(kindName(value.kind())));
    }
  }
}

// Random values of every case, nested a few levels, with awkward texts and reals.
Value generate(std::mt19937_64& random, int depth) {
  static const char* const texts[] = {
      "",    "plain",     "a&b<c>", "tab\there", "cr\r\nlf", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
      "]]>", "  spaced  "};
  static const double reals[] = {0.0,    -0.0,       1.0,  0.1,          -2.5,     1e-05,    1e300,
                                 5e-324, 123456.789, 1e16, std::nan(""), HUGE_VAL, -HUGE_VAL};
  const int kind = static_cast<int>(random() % (depth > 3 ? 4 : 6));
  switch (kind) {
    case 0:
      return Value(texts[random() % std::size(texts)]);
    case 1:
      return Value(static_cast<std::int64_t>(random()));
    case 2:
      return Value(random() % 2 ? reals[random() % std::size(reals)]
                                : std::ldexp(static_cast<double>(random() % 1000000), -10));
    case 3:
      return Value(random() % 2 == 0);
    case 4: {
      Value::Array elements;
      for (std::uint64_t i = random() % 4; i > 0; --i)
        elements.push_back(generate(random, depth + 1));
      return Value(std::move(elements));
    }
    default: {
      Value::Object entries;
      for (std::uint64_t i = random() % 4; i > 0; --i) {
        entries.insert_or_assign(texts[random() % std::size(texts)] + std::to_string(i),
                                 generate(random, depth + 1));
      }
      return Value(std::move(entries));
    }
  }
}

TEST(PlistWriteTest, ReadsBackToTheSameValue) {
  std::mt19937_64 random(20240506);
  for (int i = 0; i < 500; ++i) {
    const Value value = generate(random, 0);
    const std::string xml = plist::writeXML(value);
    const Value again = Value::parsePlist(xml);
    // Bytes compare NaN too, which equals nothing.
    EXPECT_EQ(plist::writeXML(again), xml);
    if (xml.find("nan") == std::string::npos) {
      EXPECT_EQ(again, value) << xml;
    }
  }
}

// python3's plistlib reads what the writer wrote, writes it back in its own XML form (which must
// be the same bytes) and as a binary list (which must read back to the same Value).
constexpr const char* kPlistlibCheck = R"(
import plistlib, sys
for path in sys.argv[1:]:
    data = open(path, 'rb').read()
    value = plistlib.loads(data, fmt=plistlib.FMT_XML)
    open(path + '.bin', 'wb').write(plistlib.dumps(value, fmt=plistlib.FMT_BINARY))
    open(path + '.xml', 'wb').write(plistlib.dumps(value, fmt=plistlib.FMT_XML, sort_keys=True))
print('ok')
)";

TEST(PlistWriteTest, Python3PlistlibReadsAndAgrees) {
  if (!test::pythonHas({"plistlib"})) GTEST_SKIP() << "python3 with plistlib not available";
  test::TempTree tree;
  std::vector<Value> values;
  std::vector<std::string> paths;
  // A fixed value whose every real has the same text in both writers, and no carriage return
  // (plistlib writes it as a line feed).
  values.push_back(Value(Value::Object{
      {"B", Value(Value::Array{Value(1), Value(-9223372036854775807LL - 1), Value(true)})},
      {"a", Value(Value::Array{Value(1.0), Value(0.1), Value(-0.0), Value(1e-05), Value(2.5e20)})},
      {"\xC3\xA9", Value("a&b<c>\n\t\xF0\x9F\x98\x80")},
      {"e", Value(Value::Object{{"x", Value(Value::Array{})}, {"y", Value(Value::Object{})}})},
      {"s", Value("")}}));
  std::mt19937_64 random(7);
  for (int i = 0; i < 200; ++i) values.push_back(generate(random, 0));
  for (std::size_t i = 0; i < values.size(); ++i) {
    paths.push_back(tree.write("v" + std::to_string(i) + ".plist", plist::writeXML(values[i])));
  }
  const auto result = test::runPython(kPlistlibCheck, paths);
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(test::readFile(paths[0] + ".xml"), test::readFile(paths[0]));
  for (std::size_t i = 0; i < values.size(); ++i) {
    const Value back = Value::parsePlist(test::readFile(paths[i] + ".bin"));
    EXPECT_EQ(plist::writeXML(back), plist::writeXML(values[i])) << paths[i];
  }
}

}  // namespace
}  // namespace tavra
