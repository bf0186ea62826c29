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

// What a lenient parser would fix up is refused: text that is no RFC 3986 URI, slashes that do
// not introduce a host, a host that no server can have, a port beyond 65535, and a file URL with
// a user, a port or no path.
TEST(URLTest, RefusesWhatIsNoURLOfAServerOrOfThisMachine) {
  for (const char* text : {"https:/x.example/c.json",
                           "https:///x.example/c.json",
                           "https:x.example/c.json",
                           "https://x.example:99999/c.json",
                           "https://x.example:abc/c.json",
                           "https://a!b/c.json",
                           "https://ex%41mple.com/c.json",
                           "https://b\xc3\xbc"
                           "cher.example/c.json",
                           "https://x/a%zz",
                           "https://x/a|b",
                           "https://x/a#f#g",
                           "https://[v1.x]/c.json",
                           "mailto:admin@example.com",
                           "1x://host/p",
                           "file:",
                           "file://",
                           "file://localhost",
                           "file://localhost:80/tmp/x",
                           "file://user@localhost/tmp/x",
                           "file://x.example/tmp/x"}) {
    EXPECT_EQ(URL::parse(text), std::nullopt) << text;
  }
}

// The path loses its "." and ".." segments (as a server would resolve them) but keeps its
// percent-encoding as written, including encoded dots.
TEST(URLTest, ThePathHasNoDotSegmentsAndKeepsItsEncoding) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"https://x/a/../c.json", "/c.json"},
      {"https://x/a/./c.json", "/a/c.json"},
      {"https://x/../../c.json", "/c.json"},
      {"https://x/a/%2e%2e/c.json", "/a/%2e%2e/c.json"},
      {"https://x/a%7e/b%2Fc", "/a%7e/b%2Fc"},
      {"file:///tmp/x/../c/catalog.json", "/tmp/c/catalog.json"},
      {"https://[::1]:8443/c.json", "/c.json"},
      {"https://x.example", "/"},
  };
  for (const auto& [text, path] : cases) {
    const auto url = URL::parse(text);
    ASSERT_TRUE(url) << text;
    EXPECT_EQ(url->path(), path) << text;
    EXPECT_EQ(url->text(), text);
  }
  EXPECT_EQ(URL::parse("https://[::1]:8443/c.json")->host(), "[::1]");
  EXPECT_EQ(URL::parse("file:///tmp/x/../c/catalog.json")->filePath(), "/tmp/c/catalog.json");
  EXPECT_EQ(URL::parse("https://x/a/../c.json")->appendingToLastPathComponent(".sig").text(),
            "https://x/c.json.sig");
}

// Outside its path the signature URL is the text as written: the same host, user and port.
TEST(URLTest, TheSuffixChangesNothingButThePath) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"https://user@x.example:8443/c.json", "https://user@x.example:8443/c.json.sig"},
      {"https://[::1]:8443/c.json?v=1", "https://[::1]:8443/c.json.sig?v=1"},
      {"file://localhost/tmp/c.json", "file://localhost/tmp/c.json.sig"},
      {"file:/tmp/c.json", "file:/tmp/c.json.sig"},
      {"file:///", "file:///.sig"},
  };
  for (const auto& [text, expected] : cases) {
    const URL signature = URL::parse(text)->appendingToLastPathComponent(".sig");
    EXPECT_EQ(signature.text(), expected) << text;
  }
  EXPECT_EQ(
      URL::parse("file://localhost/tmp/c.json")->appendingToLastPathComponent(".sig").filePath(),
      "/tmp/c.json.sig");
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
