// How the system spells a control character inside a text meant for people (a merge warning's
// quoted key, the tool's output): "\u{", the code point in lower-case hex without leading zeros,
// and "}", so U+001B reads \u{1b} and U+0007 reads \u{7}. Pure; any thread.
#pragma once

#include <string>

namespace tavra {

// Appends the spelling of `codePoint` to `out`.
void appendControlEscape(std::string& out, char32_t codePoint);

}  // namespace tavra
