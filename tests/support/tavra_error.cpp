#include "support/tavra_error.h"

#include <gtest/gtest.h>

#include <optional>

#include "support/thrown.h"

namespace tavra::test {

namespace {

// The error `call` throws, expected to be of case `expected`.
std::optional<TavraError> expectedError(TavraError::Case expected,
                                        const std::function<void()>& call) {
  std::optional<TavraError> error = thrown<TavraError>(call);
  if (error) {
    EXPECT_EQ(error->kind(), expected) << error->what();
  }
  return error;
}

}  // namespace

std::string tavraErrorMessage(TavraError::Case expected, const std::function<void()>& call) {
  const std::optional<TavraError> error = expectedError(expected, call);
  return error ? error->message() : std::string();
}

std::string tavraErrorDescription(TavraError::Case expected, const std::function<void()>& call) {
  const std::optional<TavraError> error = expectedError(expected, call);
  return error ? error->description() : std::string();
}

}  // namespace tavra::test
