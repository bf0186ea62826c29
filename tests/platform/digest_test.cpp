#include "tavra/platform/digest.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

namespace tavra {
namespace {

TEST(DigestTest, SHA256KnownAnswers) {
  EXPECT_EQ(digest::sha256Hex(""),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(digest::sha256Hex("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(digest::sha256Hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_EQ(digest::sha256("abc").size(), 32u);
  EXPECT_EQ(digest::hex(digest::sha256("abc")), digest::sha256Hex("abc"));
}

TEST(DigestTest, Hex) {
  EXPECT_EQ(digest::hex(""), "");
  EXPECT_EQ(digest::hex(std::string("\x00\x0f\xf0\xff", 4)), "000ff0ff");
}

TEST(DigestTest, RandomBytesAndUUIDs) {
  EXPECT_EQ(digest::randomBytes(0), "");
  EXPECT_EQ(digest::randomBytes(33).size(), 33u);
  EXPECT_NE(digest::randomBytes(16), digest::randomBytes(16));
  const std::regex shape("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    const std::string uuid = digest::newUUID();
    EXPECT_TRUE(std::regex_match(uuid, shape)) << uuid;
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 100u);
}

}  // namespace
}  // namespace tavra
