// Checks run on property-list bytes before libplist sees them.
//
// libplist 2.2 frees (and, for binary lists, builds) its trees recursively without any depth
// limit, expands shared binary objects without bound, silently reads malformed numbers and
// dates as 0 or 1970, and reads XML integers with leading zeros as octal. These checks refuse
// such input up front with Value::ReadError, or name the integer texts to give libplist instead,
// so that libplist never builds a tree deeper than Value::maxDepth containers, a binary list
// never expands beyond a size proportional to its bytes, and what libplist reads as an integer,
// real or date is what the bytes say. They only read the bytes; thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tavra::plist_guard {

// Whether the bytes are a binary property list (they start with "bplist00").
bool isBinary(std::string_view bytes) noexcept;

// The text of an <integer> that libplist would misread, and the text it is to read instead.
// Property lists write integers in decimal or, after "0x", in hex; leading zeros change nothing
// (010 is ten). libplist takes a leading zero for an octal prefix: it reads 010 as 8, and 08 as
// 0. Such a text is replaced by the same number without the zeros.
struct Replacement {
  std::size_t offset = 0;  // where the element's text starts in the checked bytes
  std::size_t length = 0;
  std::string text;
};

// Check an XML property list. Returns an upper bound of the container nesting that libplist can
// build from these bytes (at most Value::maxDepth open containers, plus two levels that libplist
// builds from empty elements); throws Value::ReadError otherwise, and for
// integers outside the 64-bit range, malformed numbers, dates and data, markup inside numbers
// and dates, attributes on value elements, internal DTD subsets and NUL bytes. The integers that
// libplist would misread are added to `replacements`, in the order of the bytes; libplist is to
// read the bytes with them made (see replaced), which changes no markup.
std::size_t checkXML(std::string_view bytes, std::vector<Replacement>& replacements);
std::size_t checkXML(std::string_view bytes);

// `bytes` with `replacements` (in order, not overlapping, as checkXML gives them) made.
std::string replaced(std::string_view bytes, const std::vector<Replacement>& replacements);

// Check a binary property list: trailer, offset table and every reachable object's bounds;
// references must exist and must not form cycles; nesting at most Value::maxDepth; the tree
// that shared references expand to is bounded by the input size; 128-bit integers must fit in
// 64 unsigned bits and dates in the range below. Returns the nesting depth; throws
// Value::ReadError otherwise.
std::size_t checkBinary(std::string_view bytes);

// Dates are seconds since 2001-01-01 (a real in binary lists). Those read are the ones whose
// ISO 8601 text has a four-digit year: from minDateSeconds (0000-01-01T00:00:00Z) up to, and
// not including, endDateSeconds (10000-01-01T00:00:00Z).
inline constexpr double secondsSince2001(std::chrono::sys_days day) {
  using namespace std::chrono;
  return static_cast<double>(
      duration_cast<seconds>(day - sys_days{year{2001} / January / 1}).count());
}
inline constexpr double minDateSeconds = secondsSince2001(std::chrono::year{0} / 1 / 1);
inline constexpr double endDateSeconds = secondsSince2001(std::chrono::year{10000} / 1 / 1);

}  // namespace tavra::plist_guard
