#include "tavra/whitespace.h"

#include <gtest/gtest.h>

namespace tavra {
namespace {

TEST(WhitespaceTest, TrimsBlanksAndLineBreaksAtBothEndsOnly) {
  struct Case {
    std::string input, trimmed;
  };
  const std::vector<Case> cases = {
      {"", ""},
      {"abc", "abc"},
      {" \t\n\r\v\fabc \n", "abc"},
      {"a b\nc", "a b\nc"},
      {"\xc2\xa0"
       "abc"
       "\xe2\x80\xa8\xe3\x80\x80",
       "abc"},  // NBSP, LINE SEPARATOR, IDEOGRAPHIC SPACE
      {"\xc2\x85"
       "abc"
       "\xe2\x80\x8a",
       "abc"},  // NEXT LINE, HAIR SPACE
      {"\xe2\x80\x8b"
       "abc",
       "\xe2\x80\x8b"
       "abc"},                             // ZERO WIDTH SPACE is not white space
      {"\xff abc \xff", "\xff abc \xff"},  // invalid bytes stop the trimming
      {" \xa0 abc", "\xa0 abc"},           // a lone continuation byte is no space
      {"   ", ""},
      {"\xe2\x80", "\xe2\x80"},  // truncated sequence
  };
  for (const auto& c : cases) {
    EXPECT_EQ(trimmingWhitespaceAndNewlines(c.input), c.trimmed) << c.input;
  }
}

}  // namespace
}  // namespace tavra
