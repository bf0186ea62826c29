#include "support/tavra_error.h"

#include <gtest/gtest.h>

namespace tavra::test {

std::string tavraErrorMessage(TavraError::Case expected, const std::function<void()>& call) {
  try {
    call();
  } catch (const TavraError& error) {
    EXPECT_EQ(error.kind(), expected) << error.what();
    return error.message();
  }
  ADD_FAILURE() << "no TavraError thrown";
  return {};
}

}  // namespace tavra::test
