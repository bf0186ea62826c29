// CatalogSigner: makes the detached Ed25519 signature of a catalog (the tool's catalog signing
// and simulation). Stateless; any thread.
#pragma once

#include <string>
#include <string_view>

namespace tavra::CatalogSigner {

// The standard base64 (padded, one line) of the signature of `catalogData` by the private
// key given as base64 of its 32 raw bytes (whitespace and newlines around it are trimmed).
// Throws TavraError::signature "private key is not base64", or the crypto layer's CryptoError
// for a key of the wrong size.
std::string sign(std::string_view catalogData, std::string_view privateKeyBase64);

}  // namespace tavra::CatalogSigner
