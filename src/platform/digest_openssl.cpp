#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>
#include <stdexcept>

#include "tavra/platform/digest.h"

namespace tavra::digest {

namespace {

// OpenSSL looks an algorithm up by name on every use of EVP_sha256(), which costs more than
// hashing a small file; the one looked up here is immutable and shared by every thread.
const EVP_MD* sha256Algorithm() {
  static const EVP_MD* const algorithm = [] {
    const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return fetched != nullptr ? fetched : EVP_sha256();
  }();
  return algorithm;
}

}  // namespace

std::string sha256(std::string_view bytes) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), out, &length, sha256Algorithm(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 failed");
  }
  return std::string(reinterpret_cast<const char*>(out), length);
}

std::string hex(std::string_view bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 0xF];
  }
  return out;
}

std::string sha256Hex(std::string_view bytes) {
  return hex(sha256(bytes));
}

std::string randomBytes(std::size_t count) {
  std::string out(count, '\0');
  if (count > 0 &&
      RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(count)) != 1) {
    throw std::runtime_error("secure random bytes are not available");
  }
  return out;
}

std::string newUUID() {
  std::string b = randomBytes(16);
  b[6] = static_cast<char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<char>((b[8] & 0x3F) | 0x80);
  const auto* u = reinterpret_cast<const unsigned char*>(b.data());
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", u[0], u[1],
                u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14],
                u[15]);
  return text;
}

}  // namespace tavra::digest
