// Expectations on a failure of one exception type, for tests that check what it carries.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

namespace tavra::test {

// Runs `call` and gives the `Error` it throws; records a test failure and gives nothing when it
// throws none. Exceptions of other types pass through (and fail the test as uncaught).
template <class Error>
std::optional<Error> thrown(const std::function<void()>& call) {
  try {
    call();
  } catch (const Error& error) {
    return error;
  }
  ADD_FAILURE() << "nothing thrown";
  return std::nullopt;
}

// As thrown, but gives the error's what() text, or the empty text when none is thrown.
template <class Error>
std::string thrownText(const std::function<void()>& call) {
  const std::optional<Error> error = thrown<Error>(call);
  return error ? std::string(error->what()) : std::string();
}

}  // namespace tavra::test
