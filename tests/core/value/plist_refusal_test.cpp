// What the property list reader refuses, and the bounds it keeps before the parser sees a
// document: malformed and hostile XML and binary lists each fail with a read error naming why.
#include "tavra/plist.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core/value/plist_samples.h"
#include "support/thrown.h"
#include "tavra/value.h"

namespace tavra {
namespace {

using test::BinaryPlist;
using test::deepBinary;
using test::expectReadError;
using test::repeat;
using test::xmlPlist;

TEST(PlistReadTest, XMLRefusals) {
  const struct {
    const char* body;
    const char* message;
  } cases[] = {
      {"<integer>abc</integer>", "malformed <integer>"},
      {"<integer></integer>", "malformed <integer>"},
      {"<integer/>", "empty <integer>"},
      {"<integer>18446744073709551616</integer>", "integer out of range"},
      {"<integer>-9223372036854775809</integer>", "integer out of range"},
      {"<integer>1<!-- x --></integer>", "malformed <integer>"},
      {"<real>1,5</real>", "malformed <real>"},
      {"<real></real>", "malformed <real>"},
      {"<date>garbage</date>", "<date>"},
      {"<date>2024-05-06T07:08:09.5Z</date>", "<date>"},
      {"<date>10000-01-01T00:00:00Z</date>", "<date>"},
      {"<date>-0001-01-01T00:00:00Z</date>", "<date>"},
      {"<date>2100-02-29T00:00:00Z</date>", "<date>"},
      {"<data>!!!</data>", "malformed <data>"},
      {"<string>\xFF\xFE</string>", "not valid UTF-8"},
      {"<string>&#xD800;</string>", "not valid UTF-8"},
      {"<string id=\"x\">a</string>", "unexpected attributes"},
      {"<array a=\"/>\"><true/></array>", "unbalanced quotes"},
      {"<array><true/>", "not a well-formed"},
      {"<dict><integer>1</integer></dict>", "not a well-formed"},
      {"<uid>1</uid>", "not a well-formed"},
  };
  for (const auto& c : cases) expectReadError(xmlPlist(c.body), c.message);
  for (const char* junk : {"", "this is no property list", "{", "<?xml version=\"1.0\"?>"}) {
    expectReadError(junk, "not a well-formed");
  }
  expectReadError("<!DOCTYPE plist [<!ENTITY a \"b\">]><plist><string>&a;</string></plist>",
                  "internal DTD subsets");
  // libplist would cut a key at a NUL and garble a string after one.
  expectReadError(xmlPlist(std::string("<dict><key>a\0b</key><string>c\0d</string></dict>", 47)),
                  "NUL byte");
}

TEST(PlistReadTest, XMLNestingIsBoundedBeforeLibplistSeesIt) {
  const std::string limit = std::to_string(Value::maxDepth);
  // Exactly the limit parses; one more level, and 100,000 levels, closed or not, are refused
  // (libplist itself would overflow the stack freeing such a tree).
  const std::string atLimit =
      repeat("<array>", Value::maxDepth) + "<true/>" + repeat("</array>", Value::maxDepth);
  EXPECT_TRUE(Value::parsePlist(xmlPlist(atLimit)).isArray());
  expectReadError(
      xmlPlist(repeat("<array>", Value::maxDepth + 1) + repeat("</array>", Value::maxDepth + 1)),
      "nesting deeper than " + limit + " levels");
  // libplist keeps an empty root open and puts what follows into it: one level more.
  expectReadError(xmlPlist("<array/>" + atLimit), "nesting deeper than " + limit + " levels");
  for (const std::string& body :
       {repeat("<array>", 100000) + repeat("</array>", 100000), repeat("<array>", 100000),
        repeat("<dict><key>k</key>", 100000) + "<true/>" + repeat("</dict>", 100000),
        // Close tags hidden in comments or CDATA must not lower the count.
        repeat("<array><!-- </array> -->", 100000),
        repeat("<array><![CDATA[</array>]]>", 100000)}) {
    expectReadError(xmlPlist(body), "nesting deeper than " + limit + " levels");
  }
}

TEST(PlistReadTest, BinaryRefusals) {
  const std::string limit = std::to_string(Value::maxDepth);
  EXPECT_TRUE(Value::parsePlist(deepBinary(Value::maxDepth, false)).isArray());
  expectReadError(deepBinary(Value::maxDepth + 1, false), "nesting deeper than " + limit);
  expectReadError(deepBinary(100000, false), "nesting deeper than " + limit);
  expectReadError(deepBinary(100000, true), "nesting deeper than " + limit);

  auto single = [](std::string object) {
    BinaryPlist p;
    p.add(std::move(object));
    return p.bytes();
  };
  BinaryPlist cycle;
  cycle.add(cycle.array({1}));
  cycle.add(cycle.array({0}));
  expectReadError(cycle.bytes(), "reference cycle");
  BinaryPlist self;
  self.add(BinaryPlist::ascii("k"));
  self.add(self.dict({0}, {1}));
  self.top = 1;
  expectReadError(self.bytes(), "reference cycle");
  // Each level references the next twice: 60 levels would expand to 2^60 nodes.
  BinaryPlist shared;
  for (std::uint64_t i = 0; i < 60; ++i) shared.add(shared.array({i + 1, i + 1}));
  shared.add("\x09");
  expectReadError(shared.bytes(), "expand beyond");
  // A chain of 300 arrays, met first near the top and again below another 300: 600 levels.
  BinaryPlist reused;
  reused.add("");
  const std::uint64_t chain = 1;
  for (std::uint64_t i = 0; i < 300; ++i) reused.add(reused.array({chain + i + 1}));
  reused.add("\x09");
  const std::uint64_t outer = reused.objects.size();
  for (std::uint64_t i = 0; i < 300; ++i) {
    reused.add(reused.array({i + 1 < 300 ? outer + i + 1 : chain}));
  }
  reused.objects[0] = reused.array({chain, outer});
  expectReadError(reused.bytes(), "nesting deeper than " + limit);
  BinaryPlist missing;
  missing.add(missing.array({7}));
  expectReadError(missing.bytes(), "missing object");
  BinaryPlist huge;
  huge.add(huge.container(0xA, {0}, 0xFFFFFFFFULL));
  expectReadError(huge.bytes(), "out of bounds");

  const std::string good = single("\x09");
  expectReadError(good.substr(0, good.size() - 1), "bad trailer");
  expectReadError(good.substr(0, 20), "too short");
  expectReadError("bplist00", "too short");
  std::string badTable = good;
  badTable[badTable.size() - 1] = '\x7F';
  expectReadError(badTable, "offset table out of bounds");
  expectReadError(single("\x14" + BinaryPlist::big(1, 8) + BinaryPlist::big(0, 8)),
                  "integer out of range");
  expectReadError(single("\x15" + std::string(32, '\0')), "integer too wide");
  expectReadError(single(BinaryPlist::real(1e12, 0x33)), "date out of range");
  expectReadError(single(BinaryPlist::real(std::nan(""), 0x33)), "date out of range");
  // Just outside the four-digit years, and the infinities.
  expectReadError(single(BinaryPlist::real(252423993600.0, 0x33)), "date out of range");
  expectReadError(single(BinaryPlist::real(-63145526400.5, 0x33)), "date out of range");
  expectReadError(single(BinaryPlist::real(HUGE_VAL, 0x33)), "date out of range");
  expectReadError(single(BinaryPlist::real(-HUGE_VAL, 0x33)), "date out of range");
  expectReadError(single(std::string("\x61\xD8\x00", 3)), "unpaired surrogate");
  expectReadError(single("\x52\xFF\xFE"), "not valid UTF-8");
  expectReadError(single(std::string("\x53"
                                     "a\0b",
                                     4)),
                  "NUL character in text");
  expectReadError(single("\x7F"), "unknown object type");

  EXPECT_EQ(test::thrownText<Value::ConversionError>(
                [&] { (void)Value::parsePlist(single(std::string(1, '\0'))); }),
            "unsupported value type: null");
  EXPECT_EQ(test::thrownText<Value::ConversionError>(
                [&] { (void)Value::parsePlist(single("\x80\x01")); }),
            "unsupported value type: uid");
}

}  // namespace
}  // namespace tavra
