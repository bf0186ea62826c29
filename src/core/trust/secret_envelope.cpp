#include "tavra/secret_envelope.h"

#include "tavra/base64.h"
#include "tavra/error.h"
#include "tavra/platform/crypto.h"
#include "tavra/platform/digest.h"
#include "tavra/platform/unicode.h"

namespace tavra {

namespace {

constexpr std::size_t keyIDLength = 16;
constexpr std::size_t ephemeralSize = crypto::P256PublicKey::x963Size;
constexpr std::size_t minimumPayload =
    ephemeralSize + crypto::aesGCM::nonceSize + 1 + crypto::aesGCM::tagSize;  // 94

bool isLowerHex(char c) noexcept {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

bool isBase64URL(char c) noexcept {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

// The length of a match of the embedded pattern that starts exactly at `at`, or 0. The payload
// run is taken whole, as a greedy quantifier would.
std::size_t matchAt(std::string_view text, std::size_t at) noexcept {
  std::string_view rest = text.substr(at);
  if (!rest.starts_with(SecretEnvelope::prefix)) return 0;
  std::size_t i = SecretEnvelope::prefix.size();
  for (std::size_t end = i + keyIDLength; i < end; ++i) {
    if (i >= rest.size() || !isLowerHex(rest[i])) return 0;
  }
  if (i >= rest.size() || rest[i] != ':') return 0;
  const std::size_t payloadStart = ++i;
  while (i < rest.size() && isBase64URL(rest[i])) ++i;
  return i > payloadStart ? i : 0;
}

std::string additionalData(std::string_view keyID) {
  std::string aad(SecretEnvelope::prefix);
  aad += keyID;
  return aad;
}

std::string derivedKey(std::string_view sharedSecret, std::string_view ephemeralX963) {
  return crypto::hkdfSHA256(sharedSecret, ephemeralX963, SecretEnvelope::info,
                            crypto::aesGCM::keySize);
}

std::string decryptString(const std::string& text, const DecryptionKeyProvider& keys) {
  if (!SecretEnvelope::isEnvelope(text)) return text;
  std::string output;
  std::string_view rest = text;
  while (true) {
    const auto match = SecretEnvelope::findEmbedded(rest);
    if (!match) {
      if (SecretEnvelope::isEnvelope(rest)) throw TavraError::crypto("malformed envelope");
      output += rest;
      return output;
    }
    output += rest.substr(0, match->offset);
    output += SecretEnvelope::decrypt(rest.substr(match->offset, match->length), keys);
    rest = rest.substr(match->offset + match->length);
  }
}

}  // namespace

std::optional<SecretEnvelope::Match> SecretEnvelope::findEmbedded(std::string_view text) noexcept {
  for (std::size_t at = text.find(prefix); at != std::string_view::npos;
       at = text.find(prefix, at + 1)) {
    if (const std::size_t length = matchAt(text, at); length > 0) return Match{at, length};
  }
  return std::nullopt;
}

std::string SecretEnvelope::keyID(std::string_view publicKeyX963) {
  return digest::hex(digest::sha256(publicKeyX963).substr(0, 8));
}

std::string SecretEnvelope::encrypt(std::string_view plaintext, std::string_view recipientX963) {
  // A text that is not UTF-8 could be sealed but never opened again.
  if (!unicode::isValidUTF8(plaintext)) throw TavraError::crypto("plaintext is not UTF-8");
  const auto recipient = crypto::P256PublicKey::fromX963(recipientX963);
  const auto ephemeral = crypto::P256PrivateKey::generate();
  const std::string secret = ephemeral.sharedSecret(recipient);
  const std::string ephemeralX963 = ephemeral.publicKey().x963();
  const std::string id = keyID(recipientX963);
  const std::string nonce = digest::randomBytes(crypto::aesGCM::nonceSize);
  const auto sealed =
      crypto::aesGCM::seal(derivedKey(secret, ephemeralX963), nonce, plaintext, additionalData(id));
  std::string payload = ephemeralX963 + nonce + sealed.ciphertext + sealed.tag;
  std::string envelope(prefix);
  envelope += id;
  envelope += ':';
  envelope += base64::encodeURL(payload);
  return envelope;
}

std::string SecretEnvelope::decrypt(std::string_view envelope, const DecryptionKeyProvider& keys) {
  if (!envelope.starts_with(prefix)) throw TavraError::crypto("not an envelope");
  std::string_view rest = envelope.substr(prefix.size());

  // Split once at ":", leading empty pieces not counted: the key id, then the payload text.
  const std::size_t idStart = rest.find_first_not_of(':');
  const std::size_t idEnd =
      idStart == std::string_view::npos ? std::string_view::npos : rest.find(':', idStart);
  if (idEnd == std::string_view::npos || idEnd + 1 == rest.size()) {
    throw TavraError::crypto("malformed envelope");
  }
  const std::string id(rest.substr(idStart, idEnd - idStart));
  std::string payloadText(rest.substr(idEnd + 1));

  for (char& c : payloadText) {
    if (c == '-') c = '+';
    if (c == '_') c = '/';
  }
  while (payloadText.size() % 4 != 0) payloadText += '=';
  const auto payload = base64::decode(payloadText);
  if (!payload || payload->size() < minimumPayload) throw TavraError::crypto("malformed envelope");

  const std::string_view bytes = *payload;
  const std::string_view ephemeralX963 = bytes.substr(0, ephemeralSize);
  const std::string_view nonce = bytes.substr(ephemeralSize, crypto::aesGCM::nonceSize);
  const std::size_t cipherStart = ephemeralSize + crypto::aesGCM::nonceSize;
  const std::size_t tagStart = bytes.size() - crypto::aesGCM::tagSize;
  const std::string_view ciphertext = bytes.substr(cipherStart, tagStart - cipherStart);
  const std::string_view tag = bytes.substr(tagStart);

  try {
    const std::string secret = keys.sharedSecret(id, ephemeralX963);
    std::string plaintext = crypto::aesGCM::open(derivedKey(secret, ephemeralX963), nonce,
                                                 ciphertext, tag, additionalData(id));
    if (!unicode::isValidUTF8(plaintext)) throw TavraError::crypto("plaintext is not UTF-8");
    return plaintext;
  } catch (const TavraError&) {
    throw;
  } catch (...) {
    throw TavraError::crypto("authentication failed for key " + id);
  }
}

Value SecretEnvelope::decryptAll(const Value& value, const DecryptionKeyProvider& keys) {
  if (const auto* text = value.asString()) return Value(decryptString(*text, keys));
  if (const auto* elements = value.asArray()) {
    Value::Array out;
    out.reserve(elements->size());
    for (const auto& element : *elements) out.push_back(decryptAll(element, keys));
    return Value(std::move(out));
  }
  if (const auto* entries = value.asObject()) {
    Value::Object out;
    for (const auto& [key, entry] : *entries) out.emplace(key, decryptAll(entry, keys));
    return Value(std::move(out));
  }
  return value;
}

bool SecretEnvelope::isEnvelope(std::string_view text) noexcept {
  return text.find(prefix) != std::string_view::npos;
}

bool SecretEnvelope::containsEnvelope(const Value& value) noexcept {
  if (const auto* text = value.asString()) return isEnvelope(*text);
  if (const auto* elements = value.asArray()) {
    for (const auto& element : *elements) {
      if (containsEnvelope(element)) return true;
    }
    return false;
  }
  if (const auto* entries = value.asObject()) {
    for (const auto& [key, entry] : *entries) {
      if (containsEnvelope(entry)) return true;
    }
  }
  return false;
}

}  // namespace tavra
