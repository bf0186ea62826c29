// OpenEnum: a field of a record the system reads back from a file (a report a newer or another
// version may have written) whose texts this program knows as an enumeration but must not refuse
// when they are new to it.
//
// It holds either one of the enumeration's cases or, for a text no case stands for, that text
// as it was read; text() gives it back either way, so an unknown text is shown and written again
// as it came. The program's own code compares and switches on the known cases only: an unknown
// text equals no case. `Case` is an enumeration with its table of raw texts (raw_value.h). A
// plain value: copies are independent; equal when both hold the same case or the same unknown
// text.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

#include "tavra/raw_value.h"

namespace tavra {

// Not constrained on the table: a record may hold an OpenEnum of an enumeration declared inside
// it, whose table can only follow the record.
template <typename Case>
class OpenEnum {
 public:
  // Implicit, so a known case can be given wherever the field is set or compared.
  OpenEnum(Case known) noexcept : known_(known) {}  // NOLINT(google-explicit-constructor)

  // The case whose raw text is `text`, else the text itself.
  static OpenEnum fromText(std::string text) {
    if (const std::optional<Case> known = fromRawValue<Case>(text)) return OpenEnum(*known);
    return OpenEnum(std::move(text));
  }

  // The case held, or no value for a text this program does not know.
  std::optional<Case> known() const noexcept { return known_; }
  // The raw text: the case's own, or the unknown text as it was read.
  std::string_view text() const noexcept {
    return known_ ? rawValue(*known_) : std::string_view(unknown_);
  }

  friend bool operator==(const OpenEnum&, const OpenEnum&) = default;
  friend bool operator==(const OpenEnum& value, Case known) noexcept {
    return value.known_ == known;
  }

  friend std::ostream& operator<<(std::ostream& out, const OpenEnum& value) {
    return out << value.text();
  }

 private:
  explicit OpenEnum(std::string unknown) : unknown_(std::move(unknown)) {}

  std::optional<Case> known_;
  std::string unknown_;  // only when known_ is empty
};

}  // namespace tavra
