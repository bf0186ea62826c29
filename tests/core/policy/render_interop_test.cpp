// The rendered TOML and property lists read back by independent parsers (python3's tomllib and
// plistlib) as the same values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/python.h"
#include "tavra/json.h"
#include "tavra/plist.h"
#include "tavra/toml_writer.h"

namespace tavra {
namespace {

// Reads NUL-separated documents with the given loader and prints each as one JSON line. Reals
// that JSON cannot hold are printed as marker texts.
std::string readerScript(const std::string& load) {
  return R"(
import json, math, sys, tomllib, plistlib
def conv(x):
    if isinstance(x, float) and not math.isfinite(x):
        return "<nan>" if math.isnan(x) else ("<inf>" if x > 0 else "<-inf>")
    if isinstance(x, dict):
        return {k: conv(v) for k, v in x.items()}
    if isinstance(x, list):
        return [conv(v) for v in x]
    return x
data = sys.stdin.buffer.read()
for chunk in data.split(b'\0'):
    print(json.dumps(conv()" +
         load + R"()))
)";
}

std::optional<std::vector<Value>> readBack(const std::string& load,
                                           const std::vector<std::string>& documents) {
  std::string input;
  for (std::size_t i = 0; i < documents.size(); ++i) {
    if (i > 0) input += '\0';
    input += documents[i];
  }
  if (!test::pythonHas({"tomllib", "plistlib"})) return std::nullopt;
  const auto run = test::runPython(readerScript(load), {}, input);
  EXPECT_EQ(run.status, 0) << run.output;
  return test::jsonLines(run.output);
}

// Random documents: keys and texts that need quoting and escapes, every scalar case, tables,
// arrays of tables, inline tables inside arrays, empty containers.
class Generator {
 public:
  explicit Generator(std::uint32_t seed, bool xmlSafe) : random_(seed), xmlSafe_(xmlSafe) {}

  Value document() { return object(0); }

 private:
  std::size_t below(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
  }

  std::string key() {
    static const char* const keys[] = {
        "a",         "B",   "k_1",         "with space", "dot.ted",          "",   "caf\xc3\xa9",
        "e\xcc\x81", "q\"", "back\\slash", "-",          "\xf0\x9f\x98\x80", "Z9", "x"};
    std::string k = keys[below(std::size(keys))];
    if (below(3) == 0) k += std::to_string(below(50));
    return k;
  }

  std::string text() {
    std::string out;
    const std::size_t length = below(12);
    for (std::size_t i = 0; i < length; ++i) {
      std::uint32_t c;
      switch (below(6)) {
        case 0:
          c = xmlSafe_ ? "\t\n\r"[below(3)] : static_cast<std::uint32_t>(below(0x20));
          break;
        case 1:
          c = xmlSafe_ ? '<' : 0x7f;
          break;
        case 2: {
          static const char specials[] = "\"\\'&>#=[]{}. ";
          c = static_cast<unsigned char>(specials[below(sizeof specials - 1)]);
          break;
        }
        case 3:
          c = 0xa0 + static_cast<std::uint32_t>(below(0xd000));  // stays below the surrogates
          break;
        case 4:
          c = 0x10000 + static_cast<std::uint32_t>(below(0x1000));
          break;
        default:
          c = 'a' + static_cast<std::uint32_t>(below(26));
      }
      appendUTF8(out, c);
    }
    return out;
  }

  static void appendUTF8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xc0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xe0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (c & 0x3f));
    } else {
      out += static_cast<char>(0xf0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (c & 0x3f));
    }
  }

  double real() {
    static const double pretty[] = {
        0.0, -0.0, 1.0, 0.1, 1e-5, 1e-4, 2.5e20, 1e300, 5e-324, 9007199254740992.0, -123.456, 1e16};
    if (below(2)) return pretty[below(std::size(pretty))];
    for (;;) {
      const std::uint64_t bits = std::uniform_int_distribution<std::uint64_t>()(random_);
      double d;
      std::memcpy(&d, &bits, sizeof d);
      if (std::isfinite(d)) return d;
    }
  }

  Value scalar() {
    switch (below(5)) {
      case 0:
        return Value(text());
      case 1: {
        static const std::int64_t ints[] = {0,
                                            1,
                                            -1,
                                            8080,
                                            std::numeric_limits<std::int64_t>::max(),
                                            std::numeric_limits<std::int64_t>::min()};
        return below(2) ? Value(ints[below(std::size(ints))])
                        : Value(std::uniform_int_distribution<std::int64_t>()(random_));
      }
      case 2:
        return Value(real());
      case 3:
        return Value(below(2) == 0);
      default:
        return Value(text());
    }
  }

  Value array(int depth) {
    Value::Array elements;
    const std::size_t count = below(4);
    for (std::size_t i = 0; i < count; ++i) elements.push_back(any(depth + 1));
    return Value(std::move(elements));
  }

  Value object(int depth) {
    Value::Object entries;
    const std::size_t count = below(depth == 0 ? 7 : 4);
    for (std::size_t i = 0; i < count; ++i) entries.insert_or_assign(key(), any(depth + 1));
    return Value(std::move(entries));
  }

  Value any(int depth) {
    if (depth > 4) return scalar();
    switch (below(6)) {
      case 0:
        return array(depth);
      case 1:
        return object(depth);
      case 2: {  // an array of tables
        Value::Array tables;
        const std::size_t count = 1 + below(3);
        for (std::size_t i = 0; i < count; ++i) tables.push_back(object(depth + 1));
        return Value(std::move(tables));
      }
      default:
        return scalar();
    }
  }

  std::mt19937 random_;
  bool xmlSafe_;
};

constexpr int documentCount = 300;

TEST(RenderInteropTest, TOMLReadsBackWithTomllib) {
  std::vector<Value> values;
  std::vector<std::string> documents;
  Generator generator(20261210, /*xmlSafe=*/false);
  for (int i = 0; i < documentCount; ++i) {
    values.push_back(generator.document());
    documents.push_back(TOMLWriter::write(values.back()));
  }
  auto read = readBack("tomllib.loads(chunk.decode('utf-8'))", documents);
  if (!read) GTEST_SKIP() << "python3 is not installed: TOML interoperability not checked";
  ASSERT_EQ(read->size(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ((*read)[i], values[i])
        << documents[i] << "\nread back as " << json::write((*read)[i]);
  }
}

TEST(RenderInteropTest, TOMLNonFiniteReals) {
  Value::Object entries{{"n", Value(std::nan(""))},
                        {"p", Value(std::numeric_limits<double>::infinity())},
                        {"m", Value(-std::numeric_limits<double>::infinity())}};
  auto read = readBack("tomllib.loads(chunk.decode('utf-8'))", {TOMLWriter::write(Value(entries))});
  if (!read) GTEST_SKIP() << "python3 is not installed: TOML interoperability not checked";
  ASSERT_EQ(read->size(), 1u);
  EXPECT_EQ(read->front(), Value::parseJSON(R"({"n": "<nan>", "p": "<inf>", "m": "<-inf>"})"));
}

TEST(RenderInteropTest, PlistReadsBackWithPlistlib) {
  std::vector<Value> values;
  std::vector<std::string> documents;
  Generator generator(4711, /*xmlSafe=*/true);
  for (int i = 0; i < documentCount; ++i) {
    values.push_back(generator.document());
    documents.push_back(plist::writeXML(values.back()));
  }
  auto read = readBack("plistlib.loads(chunk)", documents);
  if (!read) GTEST_SKIP() << "python3 is not installed: property-list interoperability not checked";
  ASSERT_EQ(read->size(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ((*read)[i], values[i])
        << documents[i] << "\nread back as " << json::write((*read)[i]);
  }
}

}  // namespace
}  // namespace tavra
