// The strictness of the base64 codecs that signatures, keys and envelopes rely on.
#include <gtest/gtest.h>

#include "tavra/base64.h"

namespace tavra {
namespace {

TEST(Base64StrictTest, StandardDecodingRefusesEverythingButTheCanonicalForm) {
  EXPECT_EQ(base64::decode(""), "");
  EXPECT_EQ(base64::decode("AA=="), std::string(1, '\0'));
  EXPECT_EQ(base64::decode("AAA="), std::string(2, '\0'));
  EXPECT_EQ(base64::decode("+/+/"), "\xfb\xff\xbf");
  for (const std::string text : {"AA", "AAA", "AA=", "A===", "====", "AA==AA==", "AB==", "AAB=",
                                 "AA AA", "AAAA\n", " AAAA", "-_-_", "AA=A", "A"}) {
    EXPECT_FALSE(base64::decode(text)) << text;
  }
  for (std::size_t n = 0; n < 70; ++n) {
    std::string bytes;
    for (std::size_t i = 0; i < n; ++i) bytes += static_cast<char>(i * 37 + 11);
    EXPECT_EQ(base64::decode(base64::encode(bytes)), bytes) << n;
    EXPECT_EQ(base64::decodeURL(base64::encodeURL(bytes)), bytes) << n;
  }
}

TEST(Base64StrictTest, URLDecodingIsUnpaddedWithItsOwnAlphabet) {
  EXPECT_EQ(base64::encodeURL("\xfb\xff\xbf\xfb"), "-_-_-w");
  EXPECT_EQ(base64::decodeURL("-_-_-w"), "\xfb\xff\xbf\xfb");
  for (const std::string text : {"AA==", "+/+/", "A", "AB", "-_-_-x", "AA AA"}) {
    EXPECT_FALSE(base64::decodeURL(text)) << text;
  }
}

}  // namespace
}  // namespace tavra
