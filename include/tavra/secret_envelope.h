// Secret envelopes: text strings sealed to an organisation's P-256 public key.
//
// An envelope is "TAVRA-ENC:v1:", a 16-digit lowercase hex key id (the first 8 bytes of the
// SHA-256 of the recipient's X9.63 public key), ":" and the base64url (unpadded) payload:
// ephemeral X9.63 public key (65) || AES-GCM nonce (12) || ciphertext || tag (16). The AES-256
// key is HKDF-SHA256 of the ECDH secret with the ephemeral key as salt and "tavra-enc-v1" as
// info; the additional data is the prefix followed by the key id.
//
// Every operation is stateless and may be called from any thread. Failures throw
// TavraError::crypto ("not an envelope", "malformed envelope", "authentication failed for key
// <id>", "plaintext is not UTF-8"); a provider's TavraError passes unchanged; sealing passes the
// crypto layer's CryptoError unchanged.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "tavra/decryption_key_provider.h"
#include "tavra/value.h"

namespace tavra::SecretEnvelope {

inline constexpr std::string_view prefix = "TAVRA-ENC:v1:";
inline constexpr std::string_view info = "tavra-enc-v1";
// The pattern that finds envelopes inside longer text (leftmost match, greedy payload).
inline constexpr std::string_view embedded = "TAVRA-ENC:v1:[0-9a-f]{16}:[A-Za-z0-9_-]+";

struct Match {
  std::size_t offset;
  std::size_t length;
};
// The first match of `embedded` in `text`, as a regular-expression search would find it.
std::optional<Match> findEmbedded(std::string_view text) noexcept;

// 16 lowercase hex digits of the first 8 bytes of SHA-256 of `publicKeyX963` (not checked to
// be a key).
std::string keyID(std::string_view publicKeyX963);

// Seals `plaintext` to the recipient's X9.63 public key; a fresh ephemeral key and nonce each
// time.
std::string encrypt(std::string_view plaintext, std::string_view recipientX963);

// Opens one envelope text (no trimming).
std::string decrypt(std::string_view envelope, const DecryptionKeyProvider& keys);

// A copy of `value` with every envelope in every string (object values, not keys) replaced by
// its plaintext; the first error aborts the call.
Value decryptAll(const Value& value, const DecryptionKeyProvider& keys);

// True when the prefix occurs anywhere in `text`.
bool isEnvelope(std::string_view text) noexcept;
// True when any string in the tree (object values, not keys) contains the prefix.
bool containsEnvelope(const Value& value) noexcept;

}  // namespace tavra::SecretEnvelope
