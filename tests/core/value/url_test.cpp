#include "tavra/url.h"

#include <gtest/gtest.h>

namespace tavra {
namespace {

TEST(URLTest, KeepsTheTextAndTheSchemeAsWritten) {
  const auto url = URL::parse("HTTPS://Mirror.example.com/a/catalog.json?x=1#f");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->text(), "HTTPS://Mirror.example.com/a/catalog.json?x=1#f");
  EXPECT_EQ(url->scheme(), "HTTPS");
  EXPECT_EQ(url->path(), "/a/catalog.json");
  EXPECT_FALSE(url->isFileURL());
  EXPECT_EQ(url->filePath(), std::nullopt);
  EXPECT_EQ(url->lastPathComponent(), "catalog.json");
}

TEST(URLTest, RefusesWhatIsNoAbsoluteURL) {
  for (const char* text :
       {"", "catalog.json", "/tmp/catalog.json", " https://x/", "https://bad host/",
        "file://otherhost/tmp/c.json", "file:relative.json", "file:///a b.json", "https://"}) {
    EXPECT_EQ(URL::parse(text), std::nullopt) << text;
  }
  EXPECT_EQ(URL::parse(std::string_view("https://x/\0y", 12)), std::nullopt);
}

TEST(URLTest, AcceptsAnySchemeForTheCallerToJudge) {
  for (const char* text : {"http://x/catalog.json", "ftp://x/catalog.json", "gopher://x/"}) {
    const auto url = URL::parse(text);
    ASSERT_TRUE(url) << text;
    EXPECT_NE(url->scheme(), "https");
    EXPECT_FALSE(url->isFileURL());
  }
}

TEST(URLTest, FileURLsGiveTheirDecodedPath) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"file:///Users/Shared/catalog.json", "/Users/Shared/catalog.json"},
      {"file://localhost/tmp/c/catalog.json", "/tmp/c/catalog.json"},
      {"FILE:///tmp/q.json", "/tmp/q.json"},
      {"file:/tmp/one-slash.json", "/tmp/one-slash.json"},
      {"file:///Library/Application%20Support/c.json", "/Library/Application Support/c.json"},
  };
  for (const auto& [text, path] : cases) {
    const auto url = URL::parse(text);
    ASSERT_TRUE(url) << text;
    EXPECT_TRUE(url->isFileURL()) << text;
    EXPECT_EQ(url->filePath(), path) << text;
  }
  // A path that would decode to a NUL is not handed out.
  EXPECT_EQ(URL::parse("file:///tmp/a%00b")->filePath(), std::nullopt);
}

TEST(URLTest, SuffixGoesOnTheLastPathComponent) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"https://x.example/tavra/catalog.json", "https://x.example/tavra/catalog.json.sig"},
      {"https://x.example/c.json?v=2#top", "https://x.example/c.json.sig?v=2#top"},
      {"https://x.example/dir/", "https://x.example/dir.sig"},
      {"https://x.example", "https://x.example/.sig"},
      {"file:///tmp/c/catalog.json", "file:///tmp/c/catalog.json.sig"},
      {"file:///tmp/c%20d/catalog.json", "file:///tmp/c%20d/catalog.json.sig"},
  };
  for (const auto& [text, expected] : cases) {
    const URL signature = URL::parse(text)->appendingToLastPathComponent(".sig");
    EXPECT_EQ(signature.text(), expected) << text;
  }
  EXPECT_EQ(
      URL::parse("file:///tmp/c%20d/catalog.json")->appendingToLastPathComponent(".sig").filePath(),
      "/tmp/c d/catalog.json.sig");
  EXPECT_EQ(URL::parse("https://x/a")->appendingToLastPathComponent(" b").text(),
            "https://x/a%20b");
}

TEST(URLTest, EqualityIsByText) {
  EXPECT_EQ(*URL::parse("https://x/a"), *URL::parse("https://x/a"));
  EXPECT_FALSE(*URL::parse("https://x/a") == *URL::parse("https://X/a"));
}

}  // namespace
}  // namespace tavra
