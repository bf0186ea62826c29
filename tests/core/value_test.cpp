#include "tavra/value.h"

#include <gtest/gtest.h>

#include <unordered_set>

#include "tavra/json.h"

namespace tavra {
namespace {

TEST(ValueTest, CasesAreDistinctInEqualityAndHashing) {
  std::unordered_set<Value> set{Value(1), Value(1.0), Value(true), Value("1")};
  EXPECT_EQ(set.size(), 4u);
  EXPECT_NE(Value(1), Value(1.0));
  EXPECT_EQ(Value(0.0), Value(-0.0));
  EXPECT_EQ(Value(0.0).hash(), Value(-0.0).hash());
}

TEST(ValueTest, JSONRoundTrip) {
  Value v = Value::parseJSON(R"({"b":[1,2.5,"x/y",true],"a":{"c":-3}})");
  EXPECT_EQ(json::write(v), R"({"a":{"c":-3},"b":[1,2.5,"x/y",true]})");
}

}  // namespace
}  // namespace tavra
