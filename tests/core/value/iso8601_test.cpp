#include "tavra/iso8601.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace tavra {
namespace {

using namespace std::chrono;

Date at(int y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0) {
  return sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s};
}

TEST(ISO8601Test, WritesUTCWithWholeSecondsAndZ) {
  EXPECT_EQ(iso8601(at(2024, 5, 6, 7, 8, 9)), "2024-05-06T07:08:09Z");
  EXPECT_EQ(iso8601(at(1970, 1, 1)), "1970-01-01T00:00:00Z");
  EXPECT_EQ(iso8601(at(2000, 2, 29, 23, 59, 59)), "2000-02-29T23:59:59Z");
  EXPECT_EQ(iso8601(at(1969, 12, 31, 23, 59, 59)), "1969-12-31T23:59:59Z");
  // Fractions are dropped toward the past, also before 1970.
  EXPECT_EQ(iso8601(at(2024, 5, 6, 7, 8, 9) + milliseconds(999)), "2024-05-06T07:08:09Z");
  EXPECT_EQ(iso8601(at(1970, 1, 1) - milliseconds(1)), "1969-12-31T23:59:59Z");
}

TEST(ISO8601Test, ParsesExactlyThatForm) {
  EXPECT_EQ(parseISO8601("2024-05-06T07:08:09Z"), at(2024, 5, 6, 7, 8, 9));
  EXPECT_EQ(parseISO8601("2000-02-29T00:00:00Z"), at(2000, 2, 29));
  for (const char* text :
       {"", "2024-05-06T07:08:09", "2024-05-06T07:08:09.5Z", "2024-05-06 07:08:09Z",
        "2024-05-06T07:08:09+00:00", "2024-5-06T07:08:09Z", "2024-05-06t07:08:09z",
        "2023-02-29T00:00:00Z", "2024-13-01T00:00:00Z", "2024-00-01T00:00:00Z",
        "2024-05-32T00:00:00Z", "2024-05-06T24:00:00Z", "2024-05-06T07:60:00Z",
        "2024-05-06T07:08:60Z", "+024-05-06T07:08:09Z", " 2024-05-06T07:08:09Z"}) {
    EXPECT_FALSE(parseISO8601(text)) << text;
  }
  // Years the clock cannot hold (its range depends on its unit) are refused, never overflowed.
  for (const char* text :
       {"1000-01-01T00:00:00Z", "9999-12-31T23:59:59Z", "0000-01-01T00:00:00Z"}) {
    if (const auto d = parseISO8601(text)) {
      EXPECT_EQ(iso8601(*d), text);
    }
  }
  for (const Date d : {at(1970, 1, 1), at(2024, 5, 6, 7, 8, 9), at(1933, 12, 13, 20, 45, 52),
                       at(2069, 1, 19, 3, 14, 7)}) {
    EXPECT_EQ(parseISO8601(iso8601(d)), d);
  }
}

TEST(ISO8601Test, WholeSecondsReachEveryFourDigitYear) {
  const struct {
    sys_seconds when;
    const char* text;
  } cases[] = {
      {sys_days{year{0} / 1 / 1}, "0000-01-01T00:00:00Z"},
      {sys_days{year{1} / 1 / 1}, "0001-01-01T00:00:00Z"},
      {sys_days{year{1000} / 3 / 1} - seconds{1}, "1000-02-28T23:59:59Z"},
      {sys_days{year{1900} / 1 / 1}, "1900-01-01T00:00:00Z"},
      {sys_days{year{2024} / 5 / 6} + hours{7} + minutes{8} + seconds{9}, "2024-05-06T07:08:09Z"},
      {sys_days{year{2400} / 2 / 29}, "2400-02-29T00:00:00Z"},
      {sys_days{year{10000} / 1 / 1} - seconds{1}, "9999-12-31T23:59:59Z"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(iso8601(c.when), c.text);
    EXPECT_EQ(parseISO8601Seconds(c.text), c.when) << c.text;
  }
  // The same form as parseISO8601, and only that.
  for (const char* text : {"", "2024-05-06T07:08:09", "10000-01-01T00:00:00Z",
                           "-001-01-01T00:00:00Z", "1900-02-29T00:00:00Z", "0000-00-01T00:00:00Z",
                           "2024-05-06T07:08:09.5Z", " 2024-05-06T07:08:09Z"}) {
    EXPECT_FALSE(parseISO8601Seconds(text)) << text;
  }
  // Where Date reaches, both agree.
  EXPECT_EQ(iso8601(Date(sys_days{year{2024} / 5 / 6})),
            iso8601(sys_days{year{2024} / 5 / 6} + seconds{0}));
}

}  // namespace
}  // namespace tavra
