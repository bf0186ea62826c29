// Trimming of white space and line breaks at both ends of a UTF-8 text, as the system's text
// inputs (signature files, key texts) allow: the ASCII blanks, tab and line breaks (U+0009 to
// U+000D, U+0020), U+0085, and the Unicode space separators and line and paragraph separators
// (U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029, U+202F, U+205F, U+3000). Invalid UTF-8
// bytes are not white space and stop the trimming. Pure; any thread.
#pragma once

#include <string_view>

namespace tavra {

std::string_view trimmingWhitespaceAndNewlines(std::string_view text) noexcept;

}  // namespace tavra
