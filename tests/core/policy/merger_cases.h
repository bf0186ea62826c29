// The merger's table test: merges a case's values and compares the result and the warnings. Each
// file that includes it instantiates MergerCaseTest with cases of its own subject.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/policy/merger_rules.h"
#include "tavra/json.h"
#include "tavra/merger.h"

namespace tavra::test {

struct MergeCase {
  const char* name;
  std::vector<MergeRule> rules;
  std::vector<std::string> values;  // JSON texts, highest precedence first
  std::string expected;             // JSON text
  std::vector<std::string> warnings;
};

class MergerCaseTest : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergerCaseTest, MergesAndWarns) {
  const MergeCase& c = GetParam();
  std::vector<Value> values;
  for (const std::string& text : c.values) values.push_back(J(text));
  Merger::Result result = Merger(c.rules).merge(values);
  EXPECT_EQ(result.value, J(c.expected)) << json::write(result.value);
  EXPECT_EQ(result.warnings, c.warnings);
}

}  // namespace tavra::test
