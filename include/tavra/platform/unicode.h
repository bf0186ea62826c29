// Unicode services (ICU on this machine): user-perceived characters and normalisation.
// Stateless and safe to call from any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavra::unicode {

// Splits UTF-8 text into its extended grapheme clusters, as views into `text`.
// Ill-formed bytes still end up in some cluster; nothing is lost.
std::vector<std::string_view> graphemeClusters(std::string_view text);

// The canonical composition (NFC) of UTF-8 text. Ill-formed input is returned unchanged.
std::string normalizeNFC(std::string_view text);

// Whether the user-perceived character `character` (one grapheme cluster, as graphemeClusters
// gives them) is a letter or a number: its first code point is alphabetic or has a numeric value.
// Accented letters count whether composed or decomposed; punctuation, symbols, blanks and
// control characters do not. False for empty or ill-formed text.
bool isLetterOrNumber(std::string_view character) noexcept;

// Whether the user-perceived character `character` is a number: its first code point has a
// numeric value (digits of any script, fractions, Roman numerals). False for empty or
// ill-formed text.
bool isNumber(std::string_view character) noexcept;

// Whether `text` is well-formed UTF-8 (no surrogates, no overlong forms).
bool isValidUTF8(std::string_view text) noexcept;

// `text` with every ill-formed byte sequence (each maximal ill-formed subpart) replaced by
// U+FFFD; well-formed text comes back unchanged. For texts that only describe (messages).
std::string repairedUTF8(std::string_view text);

}  // namespace tavra::unicode
