// Expectations on TavraError for tests that check a failure's case and exact message (for the
// whole error, or errors of other types, see thrown.h).
#pragma once

#include <functional>
#include <string>

#include "tavra/error.h"

namespace tavra::test {

// Runs `call`, expects it to throw a TavraError of case `expected`, and gives its message (without
// the prefix); records a test failure and gives the empty text when nothing of that kind is thrown.
std::string tavraErrorMessage(TavraError::Case expected, const std::function<void()>& call);

// As tavraErrorMessage, but gives the prefixed description (what()), e.g. "io: cannot read /x".
std::string tavraErrorDescription(TavraError::Case expected, const std::function<void()>& call);

}  // namespace tavra::test
