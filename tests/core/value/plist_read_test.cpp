// Reading property lists: every kind of value in the XML and binary forms, documents of tens of
// megabytes, and python3's plistlib as an independent reader to agree with.
#include "tavra/plist.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../../../src/core/value/plist_handle.h"
#include "core/value/plist_samples.h"
#include "support/python.h"
#include "support/temp_tree.h"
#include "tavra/json.h"
#include "tavra/value.h"

namespace tavra {
namespace {

using test::BinaryPlist;
using test::expectReads;
using test::xmlPlist;

TEST(PlistReadTest, XMLCasesKeepTheirKinds) {
  const struct {
    const char* body;
    const char* json;
  } cases[] = {
      {"<true/>", "true"},
      {"<false/>", "false"},
      {"<integer>-42</integer>", "-42"},
      {"<integer> +7 </integer>", "7"},
      {"<integer>0x10</integer>", "16"},
      // Leading zeros do not make an integer octal: 010 is ten, and 08 and 09 are integers too.
      {"<integer>010</integer>", "10"},
      {"<integer>08</integer>", "8"},
      {"<integer> -0099 </integer>", "-99"},
      {"<integer>+007</integer>", "7"},
      {"<integer>00</integer>", "0"},
      {"<integer>-00</integer>", "0"},
      {"<integer>0x0010</integer>", "16"},
      {"<integer>009223372036854775807</integer>", "9223372036854775807"},
      {"<integer>-009223372036854775808</integer>", "-9223372036854775808"},
      {"<integer>9223372036854775807</integer>", "9223372036854775807"},
      {"<integer>-9223372036854775808</integer>", "-9223372036854775808"},
      // Beyond the signed range: the nearest real, as the JSON reader gives, never wrapped.
      {"<integer>9223372036854775808</integer>", "9.223372036854776e+18"},
      {"<integer>18446744073709551615</integer>", "1.8446744073709552e+19"},
      {"<real>2</real>", "2.0"},
      {"<real>-0.0</real>", "-0.0"},
      {"<real>1e-05</real>", "1e-05"},
      {"<string>a &amp; b &lt;c&gt; &#13;&#x1F600;</string>", "\"a & b <c> \\r\xF0\x9F\x98\x80\""},
      {"<string><![CDATA[<&>]]></string>", "\"<&>\""},
      {"<string/>", "\"\""},
      {"<date>2024-05-06T07:08:09Z</date>", "\"2024-05-06T07:08:09Z\""},
      // Every four-digit year, far beyond the 32-bit seconds libplist hands dates over in.
      {"<date>0000-01-01T00:00:00Z</date>", "\"0000-01-01T00:00:00Z\""},
      {"<date>0001-01-01T00:00:00Z</date>", "\"0001-01-01T00:00:00Z\""},
      {"<date>1000-02-28T12:00:00Z</date>", "\"1000-02-28T12:00:00Z\""},
      {"<date>1900-01-01T00:00:00Z</date>", "\"1900-01-01T00:00:00Z\""},
      {"<date>1933-12-13T20:45:51Z</date>", "\"1933-12-13T20:45:51Z\""},
      {"<date>2069-01-19T03:14:08Z</date>", "\"2069-01-19T03:14:08Z\""},
      {"<date>2100-01-01T00:00:00Z</date>", "\"2100-01-01T00:00:00Z\""},
      {"<date>2400-02-29T23:59:59Z</date>", "\"2400-02-29T23:59:59Z\""},
      {"<date>9999-12-31T23:59:59Z</date>", "\"9999-12-31T23:59:59Z\""},
      {"<data>aGVs\n\tbG8=</data>", "\"aGVsbG8=\""},
      {"<data></data>", "\"\""},
      {"<array><integer>1</integer><!-- </array> --><real>1.5</real></array>", "[1,1.5]"},
      {"<dict><key>b</key><dict/><key>a</key><array/></dict>", "{\"a\":[],\"b\":{}}"},
      {"<dict><key>k</key><integer>1</integer><key>k</key><integer>2</integer></dict>",
       "{\"k\":2}"},
  };
  for (const auto& c : cases) expectReads(xmlPlist(c.body), c.json);
  // No declaration, no DOCTYPE, no <plist> element: still a property list.
  expectReads("<array><true/></array>", "[true]");
  expectReads("\xEF\xBB\xBF" + xmlPlist("<string>after a byte-order mark</string>"),
              "\"after a byte-order mark\"");
}

TEST(PlistReadTest, BinaryCases) {
  BinaryPlist p;
  const auto k1 = p.add(BinaryPlist::ascii("int"));
  const auto k2 = p.add(BinaryPlist::ascii("neg"));
  const auto k3 = p.add(BinaryPlist::ascii("big"));
  const auto k4 = p.add(BinaryPlist::ascii("real"));
  const auto k5 = p.add(BinaryPlist::ascii("date"));
  const auto k6 = p.add(BinaryPlist::ascii("data"));
  const auto k7 = p.add(BinaryPlist::ascii("text"));
  const auto k8 = p.add(BinaryPlist::ascii("flags"));
  const auto v1 = p.add("\x10\x2A");
  const auto v2 = p.add("\x13" + BinaryPlist::big(~std::uint64_t{0}, 8));               // -1
  const auto v3 = p.add("\x14" + BinaryPlist::big(0, 8) + BinaryPlist::big(~0ULL, 8));  // 2^64-1
  const auto v4 = p.add(BinaryPlist::real(2.0));
  const auto v5 = p.add(BinaryPlist::real(736672089.75, 0x33));  // 2024-05-06T07:08:09.75Z
  const auto v6 = p.add(std::string("\x43\x00\x01\x02", 4));
  const auto v7 = p.add(std::string("\x63\x00\xE9\xD8\x3D\xDE\x00", 7));  // UTF-16 "é😀"
  const auto t = p.add("\x09");
  const auto f = p.add("\x08");
  const auto v8 = p.add(p.array({t, f}));
  p.top = p.add(p.dict({k1, k2, k3, k4, k5, k6, k7, k8}, {v1, v2, v3, v4, v5, v6, v7, v8}));
  // libplist's own writer uses 3-byte offsets once a list passes 64 KiB.
  std::string body = "<array>";
  for (int i = 0; i < 20000; ++i)
    body += "<dict><key>n</key><integer>" + std::to_string(i) + "</integer></dict>";
  const std::string xml = xmlPlist(body + "</array>");
  PlistHandle tree;
  plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), tree.out());
  ASSERT_TRUE(tree);
  char* bytes = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(tree.get(), &bytes, &length);
  const std::string binary(bytes, length);
  std::free(bytes);
  ASSERT_EQ(binary[binary.size() - 26], 3) << "offset width";
  EXPECT_EQ(Value::parsePlist(binary), Value::parsePlist(xml));
  // Reference and offset widths of any byte count from 1 to 8.
  for (const unsigned width : {1u, 3u, 5u, 8u}) {
    BinaryPlist q;
    q.refSize = width;
    q.offsetSize = width;
    q.add(q.array({1, 1}));
    q.add("\x10\x07");
    expectReads(q.bytes(), "[7,7]");
  }
  expectReads(p.bytes(),
              "{\"big\":1.8446744073709552e+19,\"data\":\"AAEC\",\"date\":\"2024-05-06T07:08:09Z\","
              "\"flags\":[true,false],\"int\":42,\"neg\":-1,\"real\":2.0,"
              "\"text\":\"\xC3\xA9\xF0\x9F\x98\x80\"}");
}

TEST(PlistReadTest, BinaryDatesOfEveryFourDigitYear) {
  // Seconds since 2001-01-01 as a real; fractions go toward the past, before 2001 too.
  const struct {
    double seconds;
    const char* text;
  } cases[] = {
      {-63145526400.0, "0000-01-01T00:00:00Z"},
      {-63113904000.0, "0001-01-01T00:00:00Z"},
      {-3187296000.0, "1900-01-01T00:00:00Z"},
      {-2147483648.0, "1932-12-13T20:45:52Z"},
      {-0.5, "2000-12-31T23:59:59Z"},
      {0.0, "2001-01-01T00:00:00Z"},
      {736672089.75, "2024-05-06T07:08:09Z"},
      {2147483648.0, "2069-01-19T03:14:08Z"},
      {3124137600.0, "2100-01-01T00:00:00Z"},
      {252423993599.0, "9999-12-31T23:59:59Z"},
      {252423993599.999, "9999-12-31T23:59:59Z"},
  };
  for (const auto& c : cases) {
    BinaryPlist p;
    p.add(BinaryPlist::real(c.seconds, 0x33));
    expectReads(p.bytes(), "\"" + std::string(c.text) + "\"");
  }
}

TEST(PlistReadTest, DocumentsOfTensOfMegabytesParse) {
  // About 30 MB of XML: a million small dictionaries.
  std::string body = "<array>";
  const std::string item = "<dict><key>name</key><string>some configuration text</string></dict>";
  for (int i = 0; i < 450000; ++i) body += item;
  body += "</array>";
  const std::string xml = xmlPlist(body);
  ASSERT_GT(xml.size(), 30000000u);
  const Value value = Value::parsePlist(xml);
  ASSERT_TRUE(value.isArray());
  EXPECT_EQ(value.asArray()->size(), 450000u);

  // A binary list of three million references to one shared string: linear, so accepted.
  BinaryPlist p;
  p.add("");
  const auto text = p.add(BinaryPlist::ascii("shared"));
  std::vector<std::uint64_t> refs(3000000, text);
  p.objects[0] = p.array(refs);
  const Value shared = Value::parsePlist(p.bytes());
  ASSERT_TRUE(shared.isArray());
  EXPECT_EQ(shared.asArray()->size(), 3000000u);
}

// python3's plistlib writes dates across its whole range (years 1 to 9999), with the chosen
// years first, as an XML and a binary list, and prints each date's text as JSON.
constexpr const char* kPlistlibDates = R"(
import datetime, json, plistlib, random, sys
dates = [datetime.datetime(1, 1, 1), datetime.datetime(1900, 1, 1),
         datetime.datetime(2100, 1, 1), datetime.datetime(9999, 12, 31, 23, 59, 59),
         datetime.datetime(2024, 5, 6, 7, 8, 9)]
rng = random.Random(11)
low = datetime.datetime(1, 1, 1)
span = int((datetime.datetime(9999, 12, 31, 23, 59, 59) - low).total_seconds())
dates += [low + datetime.timedelta(seconds=rng.randrange(span + 1)) for _ in range(500)]
out = sys.argv[1]
open(out + '.xml', 'wb').write(plistlib.dumps(dates, fmt=plistlib.FMT_XML))
open(out + '.bin', 'wb').write(plistlib.dumps(dates, fmt=plistlib.FMT_BINARY))
texts = ['%04d-%02d-%02dT%02d:%02d:%02dZ' % (d.year, d.month, d.day, d.hour, d.minute, d.second)
         for d in dates]
print(json.dumps(texts, separators=(',', ':')))
)";

TEST(PlistReadTest, Python3PlistlibDatesOfEveryYearRead) {
  if (!test::pythonHas({"plistlib"})) GTEST_SKIP() << "python3 with plistlib not available";
  test::TempTree tree;
  const std::string out = tree.path("dates");
  const auto result = test::runPython(kPlistlibDates, {out});
  ASSERT_EQ(result.status, 0) << result.output;
  const Value expected = Value::parseJSON(result.output);
  ASSERT_TRUE(expected.isArray());
  ASSERT_EQ(expected.asArray()->size(), 505u);
  EXPECT_EQ(json::write(
                Value(Value::Array(expected.asArray()->begin(), expected.asArray()->begin() + 5))),
            "[\"0001-01-01T00:00:00Z\",\"1900-01-01T00:00:00Z\",\"2100-01-01T00:00:00Z\","
            "\"9999-12-31T23:59:59Z\",\"2024-05-06T07:08:09Z\"]");
  for (const char* format : {".xml", ".bin"}) {
    SCOPED_TRACE(format);
    EXPECT_EQ(Value::parsePlist(test::readFile(out + format)), expected);
  }
}

// python3's plistlib reads integers of every written form, leading zeros included, the way the
// platform's reader does; ours must agree with it.
constexpr const char* kPlistlibIntegers = R"(
import json, plistlib, sys
print(json.dumps(plistlib.loads(open(sys.argv[1], 'rb').read()), separators=(',', ':')))
)";

TEST(PlistReadTest, Python3PlistlibReadsIntegersAlike) {
  if (!test::pythonHas({"plistlib"})) GTEST_SKIP() << "python3 with plistlib not available";
  test::TempTree tree;
  std::string body = "<array>";
  for (const char* text : {"0", "7", "010", "08", "09", "0100", "-010", "-0", "00", "0x1F", "0X0a",
                           "012345678901234567", "-0009223372036854775808"}) {
    body += "<integer>" + std::string(text) + "</integer>";
  }
  body += "</array>";
  const std::string path = tree.write("integers.plist", xmlPlist(body));
  const auto result = test::runPython(kPlistlibIntegers, {path});
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(json::write(Value::parsePlist(test::readFile(path))),
            json::write(Value::parseJSON(result.output)));
}

}  // namespace
}  // namespace tavra
