#include "tavra/plist.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "../../../src/core/value/plist_handle.h"
#include "support/python.h"
#include "support/temp_tree.h"
#include "tavra/json.h"
#include "tavra/value.h"

namespace tavra {
namespace {

std::string xmlPlist(std::string_view body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">\n" +
         std::string(body) + "\n</plist>\n";
}

std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) out.append(piece);
  return out;
}

// Builds binary property lists object by object, so that hostile shapes (cycles, shared
// subtrees, bad lengths) can be written that no ordinary writer would produce.
struct BinaryPlist {
  std::vector<std::string> objects;
  std::uint64_t top = 0;
  unsigned refSize = 4;
  unsigned offsetSize = 8;

  std::size_t add(std::string object) {
    objects.push_back(std::move(object));
    return objects.size() - 1;
  }
  static std::string big(std::uint64_t n, unsigned width) {
    std::string out;
    for (unsigned i = width; i-- > 0;) out += static_cast<char>((n >> (8 * i)) & 0xFF);
    return out;
  }
  std::string head(unsigned type, std::uint64_t count) const {
    if (count < 15) return std::string(1, static_cast<char>((type << 4) | count));
    return std::string(1, static_cast<char>((type << 4) | 0xF)) + "\x13" + big(count, 8);
  }
  std::string container(unsigned type, const std::vector<std::uint64_t>& refs,
                        std::uint64_t count) const {
    std::string out = head(type, count);
    for (std::uint64_t r : refs) out += big(r, refSize);
    return out;
  }
  std::string array(const std::vector<std::uint64_t>& refs) const {
    return container(0xA, refs, refs.size());
  }
  std::string dict(const std::vector<std::uint64_t>& keys,
                   const std::vector<std::uint64_t>& values) const {
    std::vector<std::uint64_t> refs = keys;
    refs.insert(refs.end(), values.begin(), values.end());
    return container(0xD, refs, keys.size());
  }
  static std::string ascii(std::string_view text) {
    return std::string(1, static_cast<char>(0x50 | std::min<std::size_t>(text.size(), 15))) +
           (text.size() >= 15 ? "\x13" + big(text.size(), 8) : "") + std::string(text);
  }
  static std::string real(double x, unsigned marker = 0x23) {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return std::string(1, static_cast<char>(marker)) + big(bits, 8);
  }
  std::string bytes() const {
    std::string out = "bplist00";
    std::vector<std::uint64_t> offsets;
    for (const std::string& o : objects) {
      offsets.push_back(out.size());
      out += o;
    }
    const std::uint64_t table = out.size();
    for (std::uint64_t at : offsets) out += big(at, offsetSize);
    out += std::string(6, '\0');
    out += static_cast<char>(offsetSize);
    out += static_cast<char>(refSize);
    out += big(objects.size(), 8) + big(top, 8) + big(table, 8);
    return out;
  }
};

// An array nested `depth` deep around `true`.
std::string deepBinary(std::size_t depth, bool dicts) {
  BinaryPlist p;
  const std::size_t key = p.add(BinaryPlist::ascii("k"));
  for (std::size_t i = 0; i < depth; ++i) {
    const std::uint64_t next = p.objects.size() + 1;
    p.add(dicts ? p.dict({key}, {next}) : p.array({next}));
  }
  p.add("\x09");
  p.top = 1;
  return p.bytes();
}

void expectReads(std::string_view bytes, std::string_view json) {
  SCOPED_TRACE(std::string(bytes.substr(0, 200)));
  EXPECT_EQ(json::write(Value::parsePlist(bytes)), json);
}

void expectReadError(std::string_view bytes, std::string_view message) {
  try {
    (void)Value::parsePlist(bytes);
    ADD_FAILURE() << "no error for " << bytes.substr(0, 120);
  } catch (const Value::ReadError& error) {
    EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
  }
}

// --- Reading ---------------------------------------------------------------------------------

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

  try {
    (void)Value::parsePlist(single(std::string(1, '\0')));
    ADD_FAILURE() << "a null converted";
  } catch (const Value::ConversionError& error) {
    EXPECT_STREQ(error.what(), "unsupported value type: null");
  }
  try {
    (void)Value::parsePlist(single("\x80\x01"));
    ADD_FAILURE() << "a uid converted";
  } catch (const Value::ConversionError& error) {
    EXPECT_STREQ(error.what(), "unsupported value type: uid");
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

// --- Writing ---------------------------------------------------------------------------------

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
      try {
        (void)plist::writeXML(value);
        ADD_FAILURE() << "no error for " << json::write(Value(kindName(value.kind())));
      } catch (const plist::WriteError& error) {
        EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
      }
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

TEST(PlistHandleTest, OwnsOneTreeAndMoves) {
  PlistHandle a(plist_new_array());
  plist_array_append_item(a.get(), plist_new_bool(1));
  PlistHandle b(std::move(a));
  EXPECT_FALSE(a);  // NOLINT(bugprone-use-after-move)
  ASSERT_TRUE(b);
  EXPECT_EQ(plist_array_get_size(b.get()), 1u);
  PlistHandle c(plist_new_dict());
  c = std::move(b);  // frees the dictionary; the leak checker would notice otherwise
  EXPECT_EQ(plist_get_node_type(c.get()), PLIST_ARRAY);
  plist_from_xml("<true/>", 7, c.out());  // frees the array before libplist fills the slot
  EXPECT_EQ(plist_get_node_type(c.get()), PLIST_BOOLEAN);
  c.reset();
  EXPECT_FALSE(c);
}

}  // namespace
}  // namespace tavra
