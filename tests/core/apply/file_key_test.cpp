#include "tavra/file_key.h"

#include <gtest/gtest.h>

#include <sstream>

namespace tavra {
namespace {

TEST(FileKeyTest, IsOneSpellingOfEachFile) {
  const std::pair<std::string, std::string> cases[] = {
      {"/opt/a/x.json", "/opt/a/x.json"},
      {"/opt//a/x.json", "/opt/a/x.json"},
      {"//opt/a///x.json", "/opt/a/x.json"},
      {"/opt/a/x.json/", "/opt/a/x.json"},
      {"/opt/a/x.json//", "/opt/a/x.json"},
      {"/etc//codex/a.toml/", "/private/etc/codex/a.toml"},
      {"/private/etc/codex/a.toml", "/private/etc/codex/a.toml"},
      {"//etc/codex/a.toml", "/private/etc/codex/a.toml"},
      {"//tmp//x", "/private/tmp/x"},
      {"//var", "/private/var"},
      {"/", "/"},
      {"//", "/"},
      {"", ""},
  };
  for (const auto& [path, expected] : cases) {
    EXPECT_EQ(FileKey(path).text(), expected) << path;
  }
}

TEST(FileKeyTest, AKeysTextGivesTheKeyBack) {
  for (const std::string path : {"/etc//codex/a.toml/", "//tmp", "/opt//a/", "etc//x", "/", ""}) {
    const FileKey key(path);
    EXPECT_EQ(FileKey(key.text()), key) << path;
  }
}

TEST(FileKeyTest, TwoSpellingsOfOneFileAreOneKey) {
  EXPECT_EQ(FileKey("/etc/codex/a.toml"), FileKey("/private/etc//codex/a.toml"));
  EXPECT_NE(FileKey("/etc/codex/a.toml"), FileKey("/etc/codex/b.toml"));
  EXPECT_LT(FileKey("/opt/a"), FileKey("/opt/b"));
}

TEST(FileKeyTest, PrintsAsItsText) {
  std::ostringstream out;
  out << FileKey("//tmp//x");
  EXPECT_EQ(out.str(), "/private/tmp/x");
}

}  // namespace
}  // namespace tavra
