// TOMLWriter: the system's own TOML byte form, fixed to the byte because the applier compares
// rendered bytes.
//
// A document is the comment line "# Managed by Tavra (com.zelkorandin.tavra). Local changes are
// overwritten." followed by the root table. Each table writes, with its keys in code-point order
// after NFC normalisation: first its plain entries as `key = value` lines, then its sub-tables
// (each after an empty line and a [header], except a non-empty table that holds only tables or
// arrays of tables), then its arrays of tables (each element after an empty line and [[header]]).
// Everything else is written inline: arrays as [a, b], objects inside arrays as inline tables
// { k = v }, reals in their shortest round-trip text (json::realText: plain decimal for
// 1e-4 <= |x| < 2^53, exponent form such as 1e-05 or 2.5e+20 otherwise, ".0" added to a text
// with neither "." nor "e"), NaN as nan, infinities as inf and -inf.
// Stateless; safe on any thread.
#pragma once

#include <string>
#include <string_view>

#include "tavra/value.h"

namespace tavra::TOMLWriter {

// Throws TavraError::render "TOML root must be a table" for a non-object value.
std::string write(const Value& value);

// The inline TOML text of any value ("inline" itself is a C++ keyword).
std::string inline_(const Value& value);

// A TOML basic string: quote and backslash escaped, \t \n \r, other controls and U+007F as
// \uXXXX (upper-case hex); everything else copied.
std::string quoteString(std::string_view text);

// The key bare when non-empty and made only of ASCII letters, digits, "_" and "-", otherwise
// quoted with quoteString.
std::string quoteKey(std::string_view key);

}  // namespace tavra::TOMLWriter
