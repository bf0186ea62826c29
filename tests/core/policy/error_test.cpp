#include "tavra/error.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <system_error>

#include "tavra/value.h"

namespace tavra {
namespace {

TEST(TavraErrorTest, EveryCaseHasItsPrefix) {
  const struct {
    TavraError error;
    TavraError::Case kind;
    const char* description;
  } cases[] = {
      {TavraError::catalog("x"), TavraError::Case::catalog, "catalog: x"},
      {TavraError::signature("x"), TavraError::Case::signature, "signature: x"},
      {TavraError::fragment("x"), TavraError::Case::fragment, "policy fragment: x"},
      {TavraError::crypto("x"), TavraError::Case::crypto, "crypto: x"},
      {TavraError::pathNotAllowed("x"), TavraError::Case::pathNotAllowed, "path not allowed: x"},
      {TavraError::io("cannot read /x"), TavraError::Case::io, "io: cannot read /x"},
      {TavraError::render("x"), TavraError::Case::render, "render: x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(c.error.description(), c.description);
    EXPECT_STREQ(c.error.what(), c.description);
    EXPECT_EQ(describe(c.error), c.description);
  }
  EXPECT_EQ(TavraError::io("").description(), "io: ");
  EXPECT_EQ(TavraError(TavraError::Case::render, "m").message(), "m");
}

TEST(TavraErrorTest, EqualityNeedsCaseAndMessage) {
  EXPECT_EQ(TavraError::io("m"), TavraError::io("m"));
  EXPECT_FALSE(TavraError::io("m") == TavraError::catalog("m"));
  EXPECT_FALSE(TavraError::io("m") == TavraError::io("n"));
}

TEST(TavraErrorTest, OtherErrorsAreDescribedByTheirOwnText) {
  EXPECT_EQ(describe(Value::ConversionError("null")), "unsupported value type: null");
  EXPECT_EQ(describe(std::runtime_error("plain")), "plain");
  const std::system_error fileError(std::error_code(ENOENT, std::generic_category()), "open");
  EXPECT_EQ(describe(fileError), fileError.what());
  try {
    throw TavraError::fragment("bad");
  } catch (const std::exception& error) {
    EXPECT_EQ(describe(error), "policy fragment: bad");
  }
}

}  // namespace
}  // namespace tavra
