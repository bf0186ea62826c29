#include "tavra/raw_value.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tavra/open_enum.h"

namespace tavra {
namespace {

enum class Colour { red, green, blueGrey };
enum class Misordered { first, second };
enum class SameTextTwice { first, second };

}  // namespace

template <>
struct RawValues<Colour> {
  using enum Colour;
  static constexpr CaseText<Colour> table[] = {
      {red, "red"}, {green, "green"}, {blueGrey, "blueGrey"}};
};

template <>
struct RawValues<Misordered> {
  using enum Misordered;
  static constexpr CaseText<Misordered> table[] = {{second, "second"}, {first, "first"}};
};

template <>
struct RawValues<SameTextTwice> {
  using enum SameTextTwice;
  static constexpr CaseText<SameTextTwice> table[] = {{first, "one"}, {second, "one"}};
};

namespace {

static_assert(rawValue(Colour::blueGrey) == "blueGrey");
static_assert(fromRawValue<Colour>("green") == Colour::green);
static_assert(raw_value_detail::wellFormed<Colour>());
static_assert(!raw_value_detail::wellFormed<Misordered>());
static_assert(!raw_value_detail::wellFormed<SameTextTwice>());
static_assert(HasRawValues<Colour>);
static_assert(!HasRawValues<int>);

TEST(RawValueTest, EachCaseTurnsToItsTextAndBack) {
  for (const CaseText<Colour>& entry : RawValues<Colour>::table) {
    EXPECT_EQ(rawValue(entry.value), entry.text);
    EXPECT_EQ(fromRawValue<Colour>(entry.text), entry.value);
  }
}

TEST(RawValueTest, AnyOtherTextGivesNoCase) {
  for (const char* other : {"", "Red", "red ", " red", "gree", "bluegrey", "blueGrey\n"}) {
    EXPECT_EQ(fromRawValue<Colour>(other), std::nullopt) << other;
  }
  EXPECT_EQ(fromRawValue<Colour>(std::string_view("red\0", 4)), std::nullopt);
}

TEST(RawValueTest, AValueOutsideTheCasesHasNoText) {
  EXPECT_EQ(rawValue(static_cast<Colour>(7)), "");
}

TEST(RawValueTest, PrintsTheRawText) {
  std::ostringstream out;
  out << Colour::green << "," << Colour::blueGrey;
  EXPECT_EQ(out.str(), "green,blueGrey");
}

TEST(RawValueTest, AnOpenEnumReadsTheTableAndKeepsAnyOtherText) {
  const auto known = OpenEnum<Colour>::fromText("green");
  EXPECT_EQ(known, Colour::green);
  EXPECT_EQ(known.known(), Colour::green);
  EXPECT_EQ(known.text(), "green");
  EXPECT_EQ(known, OpenEnum<Colour>(Colour::green));

  const auto unknown = OpenEnum<Colour>::fromText("Green");
  EXPECT_EQ(unknown.known(), std::nullopt);
  EXPECT_EQ(unknown.text(), "Green");
  EXPECT_FALSE(unknown == Colour::green);
  EXPECT_EQ(unknown, OpenEnum<Colour>::fromText("Green"));
  EXPECT_FALSE(unknown == OpenEnum<Colour>::fromText("purple"));
  std::ostringstream out;
  out << unknown << "," << known;
  EXPECT_EQ(out.str(), "Green,green");
}

}  // namespace
}  // namespace tavra
