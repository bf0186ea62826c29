#include "tavra/platform/unicode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tavra {
namespace {

using Clusters = std::vector<std::string>;

Clusters clusters(std::string_view text) {
  Clusters out;
  for (std::string_view c : unicode::graphemeClusters(text)) out.emplace_back(c);
  return out;
}

TEST(UnicodeTest, GraphemeClusters) {
  const struct {
    std::string text;
    Clusters expected;
  } cases[] = {
      {"", {}},
      {"ab", {"a", "b"}},
      {"e\xCC\x81x", {"e\xCC\x81", "x"}},    // e + combining acute
      {"\\\xCC\x81.", {"\\\xCC\x81", "."}},  // a backslash carrying a mark
      {"\r\n\n", {"\r\n", "\n"}},            // CR LF is one character
      {"\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7!", {"\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7", "!"}},  // a flag
      {"\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9",
       {"\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9"}},
      {"\xED\x95\x9C", {"\xED\x95\x9C"}},  // a precomposed Hangul syllable
  };
  for (const auto& c : cases) EXPECT_EQ(clusters(c.text), c.expected) << c.text;
}

TEST(UnicodeTest, IllFormedBytesStayInSomeCluster) {
  for (const std::string_view text : {"a\xFF"
                                      "b",
                                      "\xC3", "\xED\xA0\x80x", "\xE2\x82"}) {
    std::string joined;
    for (std::string_view c : unicode::graphemeClusters(text)) joined.append(c);
    EXPECT_EQ(joined, text);
  }
}

TEST(UnicodeTest, NormalizeNFC) {
  EXPECT_EQ(unicode::normalizeNFC("e\xCC\x81"), "\xC3\xA9");
  EXPECT_EQ(unicode::normalizeNFC("\xC3\xA9"), "\xC3\xA9");
  EXPECT_EQ(unicode::normalizeNFC("plain"), "plain");
  EXPECT_EQ(unicode::normalizeNFC(""), "");
  EXPECT_EQ(unicode::normalizeNFC("\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB"), "\xED\x95\x9C");
  EXPECT_EQ(unicode::normalizeNFC("a\xFF"), "a\xFF");  // ill-formed: unchanged
}

TEST(UnicodeTest, ValidUTF8) {
  for (const std::string& text :
       {std::string(), std::string("ascii"), std::string("\xC3\xA9"), std::string("\xE2\x82\xAC"),
        std::string("\xF0\x9F\x98\x80"), std::string("\xF4\x8F\xBF\xBF"), std::string("a\0b", 3)}) {
    EXPECT_TRUE(unicode::isValidUTF8(text)) << text;
  }
  for (const std::string_view text :
       {"\xFF", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xC3", "\xE2\x82",
        "\x80", "\xF8\x88\x80\x80\x80"}) {
    EXPECT_FALSE(unicode::isValidUTF8(text)) << text;
  }
}

TEST(UnicodeTest, LettersAndNumbers) {
  for (const std::string_view character :
       {"a", "Z", "\xC3\xA9" /* é composed */, "e\xCC\x81" /* é decomposed */, "\xC3\x9F",
        "\xD0\x96" /* Cyrillic */, "\xE6\xBC\xA2" /* CJK */, "7", "\xD9\xA3" /* Arabic-Indic 3 */,
        "\xE2\x85\xA0" /* Roman numeral one */, "\xC2\xBD" /* one half */}) {
    EXPECT_TRUE(unicode::isLetterOrNumber(character)) << character;
  }
  for (const std::string_view character :
       {"", ".", " ", "/", "-", "_", "\t", "\xC2\xA0" /* no-break space */, "\xE2\x82\xAC",
        "\xF0\x9F\x98\x80" /* emoji */, "\xCC\x81" /* lone combining accent */, "\xFF"}) {
    EXPECT_FALSE(unicode::isLetterOrNumber(character)) << character;
  }
}

TEST(UnicodeTest, Numbers) {
  for (const std::string_view character :
       {"0", "7", "\xD9\xA3" /* Arabic-Indic 3 */, "\xE2\x85\xA0" /* Roman numeral one */,
        "\xC2\xBD" /* one half */, "1\xCC\x81" /* 1 with a combining accent */}) {
    EXPECT_TRUE(unicode::isNumber(character)) << character;
  }
  for (const std::string_view character :
       {"", "a", "\xC3\xA9", "\xE6\xBC\xA2" /* CJK */, ".", "-", "\xE2\x82\xAC", "\xFF"}) {
    EXPECT_FALSE(unicode::isNumber(character)) << character;
  }
}

TEST(UnicodeTest, RepairedUTF8) {
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {"", ""},
      {"plain", "plain"},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
      {"a\xFF"
       "b",
       "a\xEF\xBF\xBD"
       "b"},
      {"\xC3", "\xEF\xBF\xBD"},
      // A truncated sequence is one ill-formed subpart, then the next character stands.
      {"\xE2\x82x", "\xEF\xBF\xBDx"},
      // Bytes that can start nothing are each replaced on their own.
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    const std::string repaired = unicode::repairedUTF8(c.text);
    EXPECT_EQ(repaired, c.expected) << c.text;
    EXPECT_TRUE(unicode::isValidUTF8(repaired)) << c.text;
  }
}

}  // namespace
}  // namespace tavra
