// The system's own JSON writer. Its byte form is part of the system (the applier compares
// rendered bytes), so it is fixed here:
// - compact: no whitespace at all;
// - pretty: one member or element per line, two spaces per level, " : " between key and value,
//   "," at line ends, closing bracket on its own line; empty containers are "[]" and "{}";
// - object keys in ascending code-point order;
// - strings escape quote, backslash and control characters (\b \f \n \r \t, others \u00XX in
//   lower-case hex); everything else, non-ASCII included, is written as is; "/" is written as
//   "\/" only when asked (the system's state and status files do);
// - integers in decimal; reals in their shortest round-trip text that reads back as a real
//   (see realText). NaN and infinities cannot be written: WriteError;
// - text (keys and values) must be well-formed UTF-8, else WriteError: what is written always
//   reads back.
// Reading is Value::parseJSON.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "tavra/value.h"

namespace tavra::json {

struct WriteOptions {
  bool pretty = false;
  bool escapeSlash = false;
};

class WriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string write(const Value& value, WriteOptions options = {});

// The text of a finite real: the shortest digits that read back as exactly the same double, in
// plain decimal for 1e-4 <= |x| < 2^53 and otherwise in exponent notation with a sign and at least
// two exponent digits (1e-05, 2.5e+20); a text that would have neither "." nor "e" gets ".0".
// Zero is "0.0" and negative zero "-0.0". Shared by the JSON and TOML writers.
std::string realText(double value);

}  // namespace tavra::json
