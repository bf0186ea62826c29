// Lists as the tool's texts write them.
#include "joined.h"

#include <gtest/gtest.h>

namespace tavra::test {
namespace {

TEST(JoinedTest, TheSeparatorGoesBetweenEachTwoItems) {
  EXPECT_EQ(ctl::joined({}, ", "), "");
  EXPECT_EQ(ctl::joined({"a"}, ", "), "a");
  EXPECT_EQ(ctl::joined({"a", "b", "c"}, ", "), "a, b, c");
  EXPECT_EQ(ctl::joined({"a", "b"}, " | "), "a | b");
}

// An empty item keeps its place: the separators still count the items.
TEST(JoinedTest, EmptyItemsKeepTheirSeparators) {
  EXPECT_EQ(ctl::joined({"", "b"}, ","), ",b");
  EXPECT_EQ(ctl::joined({"a", "", ""}, ","), "a,,");
}

}  // namespace
}  // namespace tavra::test
