// Base64 codecs of the system's own, strict by design: the standard alphabet with padding and
// no whitespace, and base64url without padding. Decoders refuse anything else (wrong length,
// stray characters, missing or extra padding, non-zero trailing bits) with no value.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavra::base64 {

std::string encode(std::string_view bytes);
std::optional<std::string> decode(std::string_view text);

std::string encodeURL(std::string_view bytes);
std::optional<std::string> decodeURL(std::string_view text);

}  // namespace tavra::base64
