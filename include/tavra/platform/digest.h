// Digests and randomness (OpenSSL on this machine). Thread-safe; failures of the underlying
// library throw std::runtime_error.
#pragma once

#include <string>
#include <string_view>

namespace tavra::digest {

// The 32-byte SHA-256 digest of `bytes`, and its lowercase hex text.
std::string sha256(std::string_view bytes);
std::string sha256Hex(std::string_view bytes);

// Lowercase hex of arbitrary bytes.
std::string hex(std::string_view bytes);

// `count` bytes from the system's secure random source.
std::string randomBytes(std::size_t count);

// A new random (version 4) UUID in upper-case text, e.g. "1B4E28BA-2FA1-41D2-883F-0016D3CCA427".
std::string newUUID();

}  // namespace tavra::digest
