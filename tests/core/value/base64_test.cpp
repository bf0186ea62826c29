// The codecs against the published test vectors (the round trips and strictness are checked
// by base64_strict_test.cpp).
#include "tavra/base64.h"

#include <gtest/gtest.h>

namespace tavra {
namespace {

TEST(Base64Test, StandardVectors) {
  const struct {
    const char* bytes;
    const char* standard;
    const char* url;
  } cases[] = {
      {"", "", ""},
      {"f", "Zg==", "Zg"},
      {"fo", "Zm8=", "Zm8"},
      {"foo", "Zm9v", "Zm9v"},
      {"foob", "Zm9vYg==", "Zm9vYg"},
      {"fooba", "Zm9vYmE=", "Zm9vYmE"},
      {"foobar", "Zm9vYmFy", "Zm9vYmFy"},
      {"\xFF\xFE\xFD", "//79", "__79"},
      {"\xFB\xEF", "++8=", "--8"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(base64::encode(c.bytes), c.standard);
    EXPECT_EQ(base64::encodeURL(c.bytes), c.url);
    EXPECT_EQ(base64::decode(c.standard), c.bytes);
    EXPECT_EQ(base64::decodeURL(c.url), c.bytes);
  }
  EXPECT_EQ(base64::encode(std::string("\0\0\0", 3)), "AAAA");
}

}  // namespace
}  // namespace tavra
