// Raw texts of enumerations: the text that stands for each case in the system's files, reports
// and printouts, compared exactly (case and spelling count).
//
// An enumeration has them through one table beside its declaration, a specialisation of
// RawValues that lists every case with its text, in declaration order:
//
//   template <>
//   struct RawValues<Output::Format> {
//     using enum Output::Format;
//     static constexpr CaseText<Output::Format> table[] = {
//         {json, "json"}, {toml, "toml"}, {plist, "plist"}};
//   };
//
// rawValue(), fromRawValue() and operator<< are the conversions of every such enumeration, and
// the table is its list of known texts (a message naming the expected ones walks it). A table
// whose cases are out of declaration order, or that gives one text twice, does not compile.
// Everything here is constexpr, keeps no state and may run on any thread.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <iterator>
#include <optional>
#include <string_view>
#include <type_traits>

namespace tavra {

// One case and its raw text.
template <typename Case>
struct CaseText {
  Case value;
  std::string_view text;
};

// Specialised once per enumeration with `static constexpr CaseText<Case> table[]`.
template <typename Case>
struct RawValues;

template <typename Case>
concept HasRawValues = std::is_enum_v<Case> && requires {
  RawValues<Case>::table;
};

namespace raw_value_detail {

// Cases strictly in declaration order (so none twice) and no text given to two of them.
template <typename Case>
constexpr bool wellFormed() noexcept {
  const auto& table = RawValues<Case>::table;
  for (std::size_t i = 0; i < std::size(table); ++i) {
    for (std::size_t j = i + 1; j < std::size(table); ++j) {
      if (table[i].value >= table[j].value || table[i].text == table[j].text) return false;
    }
  }
  return true;
}

}  // namespace raw_value_detail

// The raw text of `value`; empty for a value that is none of the cases (a cast from a number).
template <HasRawValues Case>
constexpr std::string_view rawValue(Case value) noexcept {
  static_assert(raw_value_detail::wellFormed<Case>(),
                "raw texts: cases in declaration order, each text once");
  for (const CaseText<Case>& entry : RawValues<Case>::table) {
    if (entry.value == value) return entry.text;
  }
  return {};
}

// The case whose raw text is exactly `text`; no value for any other text.
template <HasRawValues Case>
constexpr std::optional<Case> fromRawValue(std::string_view text) noexcept {
  static_assert(raw_value_detail::wellFormed<Case>(),
                "raw texts: cases in declaration order, each text once");
  for (const CaseText<Case>& entry : RawValues<Case>::table) {
    if (entry.text == text) return entry.value;
  }
  return std::nullopt;
}

template <HasRawValues Case>
std::ostream& operator<<(std::ostream& out, Case value) {
  return out << rawValue(value);
}

}  // namespace tavra
