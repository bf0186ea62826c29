#include "../../../src/core/value/plist_handle.h"

#include <gtest/gtest.h>

#include <utility>

namespace tavra {
namespace {

TEST(PlistHandleTest, OwnsOneTreeAndMoves) {
  PlistHandle a(plist_new_array());
  plist_array_append_item(a.get(), plist_new_bool(1));
  PlistHandle b(std::move(a));
  EXPECT_FALSE(a);  // NOLINT(bugprone-use-after-move)
  ASSERT_TRUE(b);
  EXPECT_EQ(plist_array_get_size(b.get()), 1u);
  PlistHandle c(plist_new_dict());
  c = std::move(b);  // frees the dictionary; the leak checker would notice otherwise
  EXPECT_EQ(plist_get_node_type(c.get()), PLIST_ARRAY);
  plist_from_xml("<true/>", 7, c.out());  // frees the array before libplist fills the slot
  EXPECT_EQ(plist_get_node_type(c.get()), PLIST_BOOLEAN);
  c.reset();
  EXPECT_FALSE(c);
}

}  // namespace
}  // namespace tavra
