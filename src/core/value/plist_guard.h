// Checks run on property-list bytes before libplist sees them.
//
// libplist 2.2 frees (and, for binary lists, builds) its trees recursively without any depth
// limit, expands shared binary objects without bound and silently reads malformed numbers and
// dates as 0 or 1970. These checks refuse such input up front with Value::ReadError, so that
// libplist never builds a tree deeper than Value::maxDepth containers, a binary list never
// expands beyond a size proportional to its bytes, and what libplist reads as an integer, real
// or date is what the bytes say. They only read the bytes; thread-safe.
#pragma once

#include <cstddef>
#include <string_view>

namespace tavra::plist_guard {

// Whether the bytes are a binary property list (they start with "bplist00").
bool isBinary(std::string_view bytes) noexcept;

// Check an XML property list. Returns an upper bound of the container nesting that libplist can
// build from these bytes (at most Value::maxDepth open containers, plus two levels that libplist
// builds from empty elements); throws Value::ReadError otherwise, and for
// integers outside the 64-bit range, malformed numbers, dates and data, markup inside numbers
// and dates, attributes on value elements, internal DTD subsets and NUL bytes.
std::size_t checkXML(std::string_view bytes);

// Check a binary property list: trailer, offset table and every reachable object's bounds;
// references must exist and must not form cycles; nesting at most Value::maxDepth; the tree
// that shared references expand to is bounded by the input size; 128-bit integers must fit in
// 64 unsigned bits and dates in libplist's range. Returns the nesting depth; throws
// Value::ReadError otherwise.
std::size_t checkBinary(std::string_view bytes);

// Dates libplist can hand over exactly: whole seconds since 2001-01-01 strictly inside the
// 32-bit range (its accessor truncates to 32 bits).
inline constexpr double minDateSeconds = -2147483647.0;
inline constexpr double maxDateSeconds = 2147483646.0;

}  // namespace tavra::plist_guard
