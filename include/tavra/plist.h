// The XML property-list writer (reading is Value::parsePlist).
//
// The byte form is the system's own and stable, so the same Value always gives the same bytes:
// the XML declaration, the Apple DOCTYPE line, <plist version="1.0">, one element per line
// indented by tabs, dictionary keys in code-point order, empty containers as <array/> and
// <dict/>, reals in their shortest round-trip text (never mistaken for an integer on reading
// because the element is <real>), NaN and infinities as "nan", "+infinity" and "-infinity".
// Text that XML 1.0 cannot carry (ill-formed UTF-8, control characters other than tab, line feed
// and carriage return, U+FFFE and U+FFFF) is refused with WriteError rather than altered; a
// carriage return is written as "&#13;" so that XML readers keep it.
#pragma once

#include <stdexcept>
#include <string>

#include "tavra/value.h"

namespace tavra::plist {

class WriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An XML property list, version 1.0, of `value`. Throws WriteError for unrepresentable text.
std::string writeXML(const Value& value);

}  // namespace tavra::plist
