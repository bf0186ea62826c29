// Lists as the system's texts write them.
#include "tavra/joined.h"

#include <gtest/gtest.h>

namespace tavra::test {
namespace {

TEST(JoinedTest, TheSeparatorGoesBetweenEachTwoItems) {
  EXPECT_EQ(joined({}, ", "), "");
  EXPECT_EQ(joined({"a"}, ", "), "a");
  EXPECT_EQ(joined({"a", "b", "c"}, ", "), "a, b, c");
  EXPECT_EQ(joined({"a", "b"}, " | "), "a | b");
}

// An empty item keeps its place: the separators still count the items.
TEST(JoinedTest, EmptyItemsKeepTheirSeparators) {
  EXPECT_EQ(joined({"", "b"}, ","), ",b");
  EXPECT_EQ(joined({"a", "", ""}, ","), "a,,");
}

}  // namespace
}  // namespace tavra::test
