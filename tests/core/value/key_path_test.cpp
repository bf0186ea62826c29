#include "tavra/key_path.h"

#include <gtest/gtest.h>

#include <string>
#include <unordered_set>
#include <vector>

namespace tavra {
namespace {

using Components = std::vector<std::string>;

// U+0301 COMBINING ACUTE ACCENT: it joins the character before it into one user-perceived
// character, so a backslash or dot followed by it is no escape and no separator.
const std::string kAcute = "\xCC\x81";

TEST(KeyPathTest, ParsesTheEscapedDottedSyntax) {
  const struct {
    std::string text;
    Components components;
  } cases[] = {
      {"a.b", {"a", "b"}},
      {"a\\.b", {"a.b"}},
      {"a..b", {"a", "b"}},
      {".a.", {"a"}},
      {"a.", {"a"}},
      {"", {}},
      {".", {}},
      {"..", {}},
      {"a\\\\b", {"a\\b"}},
      {"a\\", {"a"}},
      {"\\.", {"."}},
      {"\\", {}},
      {"\\a\\b", {"ab"}},
      {"x.\\.", {"x", "."}},
      {"caf\xC3\xA9.\xF0\x9F\x98\x80", {"caf\xC3\xA9", "\xF0\x9F\x98\x80"}},
      // Grapheme clusters, not bytes or code points:
      {"a\\" + kAcute + "b", {"a\\" + kAcute + "b"}},
      {"a." + kAcute + "b", {"a." + kAcute + "b"}},
      {"\\e" + kAcute + ".x", {"e" + kAcute, "x"}},
      // A family emoji (joined by zero-width joiners) after an escape is taken whole.
      {"\\\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9.z",
       {"\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9", "z"}},
      // "\r\n" is one character: escaping it keeps both bytes.
      {"a\\\r\nb", {"a\r\nb"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(KeyPath(c.text).components, c.components) << c.text;
  }
}

TEST(KeyPathTest, IllFormedTextLosesNothing) {
  EXPECT_EQ(KeyPath("a\xFF.b").components, (Components{"a\xFF", "b"}));
  EXPECT_EQ(KeyPath("\xC3").components, (Components{"\xC3"}));
}

TEST(KeyPathTest, ComponentsAreTakenAsGiven) {
  const KeyPath path = KeyPath::fromComponents({"", "a.b", "c\\"});
  EXPECT_EQ(path.components, (Components{"", "a.b", "c\\"}));
  EXPECT_EQ(path.appending("x.y").components, (Components{"", "a.b", "c\\", "x.y"}));
  EXPECT_EQ(KeyPath("a").appending("").components, (Components{"a", ""}));
  EXPECT_TRUE(KeyPath().empty());
  EXPECT_FALSE(path.empty());
}

TEST(KeyPathTest, Description) {
  EXPECT_EQ(KeyPath::fromComponents({"a.b", "c"}).description(), "a\\.b.c");
  EXPECT_EQ(KeyPath().description(), "");
  EXPECT_EQ(KeyPath::fromComponents({"."}).description(), "\\.");
  // A backslash is written as it is, so it does not read back unchanged.
  EXPECT_EQ(KeyPath::fromComponents({"a\\b"}).description(), "a\\b");
  EXPECT_EQ(KeyPath(KeyPath::fromComponents({"a\\b"}).description()).components,
            (Components{"ab"}));
  for (const char* text : {"a.b.c", "x\\.y.z", "caf\xC3\xA9"}) {
    EXPECT_EQ(KeyPath(text).description(), text);
  }
}

TEST(KeyPathTest, EqualityAndHashing) {
  EXPECT_EQ(KeyPath("a.b"), KeyPath::fromComponents({"a", "b"}));
  EXPECT_NE(KeyPath("a.b"), KeyPath("a\\.b"));
  EXPECT_NE(KeyPath::fromComponents({"a", ""}), KeyPath("a"));
  std::unordered_set<KeyPath> set{KeyPath("a.b"), KeyPath("a\\.b"), KeyPath("b.a"),
                                  KeyPath::fromComponents({"a", "b"})};
  EXPECT_EQ(set.size(), 3u);
  EXPECT_EQ(std::hash<KeyPath>{}(KeyPath("x.y")),
            std::hash<KeyPath>{}(KeyPath::fromComponents({"x", "y"})));
}

}  // namespace
}  // namespace tavra
