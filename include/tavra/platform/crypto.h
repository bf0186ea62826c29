// The cryptography the system uses, over OpenSSL 3, and nothing more: Ed25519 signing keys from
// raw 32-byte form, P-256 key agreement (X9.63 uncompressed public keys, PEM private keys),
// HKDF-SHA256, AES-256-GCM, and X.509 certificates read for their public key. SHA-256 and
// random bytes live in digest.h.
//
// Every OpenSSL object is held by a move-only owner (the *Ptr types below) that frees it. The key
// types are immutable and may be copied (copies share the one OpenSSL key by reference count) and
// used from any thread at once. Failures of the library and refused inputs throw CryptoError with
// a text naming what failed, followed by OpenSSL's own reason when it gave one.
#pragma once

#include <openssl/types.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tavra::crypto {

class CryptoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Move-only owners of OpenSSL objects.
struct PKeyFree {
  void operator()(EVP_PKEY* key) const noexcept;
};
struct PKeyContextFree {
  void operator()(EVP_PKEY_CTX* context) const noexcept;
};
struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const noexcept;
};
struct X509Free {
  void operator()(X509* certificate) const noexcept;
};
struct BIOFree {
  void operator()(BIO* bio) const noexcept;
};
using PKeyPtr = std::unique_ptr<EVP_PKEY, PKeyFree>;
using PKeyContextPtr = std::unique_ptr<EVP_PKEY_CTX, PKeyContextFree>;
using CipherContextPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using BIOPtr = std::unique_ptr<BIO, BIOFree>;

// A shared, immutable reference to one EVP_PKEY (copying takes another reference).
class SharedPKey {
 public:
  explicit SharedPKey(PKeyPtr key);
  SharedPKey(const SharedPKey& other);
  SharedPKey& operator=(const SharedPKey& other);
  SharedPKey(SharedPKey&&) noexcept = default;
  SharedPKey& operator=(SharedPKey&&) noexcept = default;
  ~SharedPKey() = default;
  EVP_PKEY* get() const noexcept { return key_.get(); }

 private:
  PKeyPtr key_;
};

class Ed25519PublicKey {
 public:
  static constexpr std::size_t rawSize = 32;
  // Throws CryptoError unless `raw` is 32 bytes the library accepts as a key.
  static Ed25519PublicKey fromRaw(std::string_view raw);
  std::string raw() const;
  // True when `signature` is a valid 64-byte signature of `message` by this key.
  bool isValidSignature(std::string_view signature, std::string_view message) const;

 private:
  explicit Ed25519PublicKey(SharedPKey key) : key_(std::move(key)) {}
  SharedPKey key_;
};

class Ed25519PrivateKey {
 public:
  static constexpr std::size_t rawSize = 32;
  static Ed25519PrivateKey generate();
  // Throws CryptoError for anything but 32 bytes, e.g. "invalid Ed25519 private key: 16 bytes,
  // expected 32".
  static Ed25519PrivateKey fromRaw(std::string_view raw);
  std::string raw() const;
  Ed25519PublicKey publicKey() const;
  // The 64-byte signature of `message`.
  std::string sign(std::string_view message) const;

 private:
  explicit Ed25519PrivateKey(SharedPKey key) : key_(std::move(key)) {}
  SharedPKey key_;
};

class P256PublicKey {
 public:
  static constexpr std::size_t x963Size = 65;
  // Exactly 65 bytes, 0x04 then X and Y, a point on the curve; anything else (compressed or
  // hybrid forms included) throws CryptoError.
  static P256PublicKey fromX963(std::string_view bytes);
  // The uncompressed X9.63 form (65 bytes).
  std::string x963() const;
  EVP_PKEY* get() const noexcept { return key_.get(); }

 private:
  explicit P256PublicKey(SharedPKey key) : key_(std::move(key)) {}
  SharedPKey key_;
};

class P256PrivateKey {
 public:
  static P256PrivateKey generate();
  // A PEM private key, PKCS #8 ("PRIVATE KEY") or SEC 1 ("EC PRIVATE KEY"), on P-256 only; other
  // curves, other key types, encrypted keys, malformed text and a key whose public point is not
  // the one its scalar gives throw CryptoError.
  static P256PrivateKey fromPEM(std::string_view pem);
  // PKCS #8 PEM text of this key (for writing key files).
  std::string pem() const;
  P256PublicKey publicKey() const;
  // The raw ECDH shared secret with `peer`: the 32-byte x-coordinate.
  std::string sharedSecret(const P256PublicKey& peer) const;

 private:
  explicit P256PrivateKey(SharedPKey key) : key_(std::move(key)) {}
  SharedPKey key_;
};

// HKDF (RFC 5869) with SHA-256: `length` bytes of output key material.
std::string hkdfSHA256(std::string_view inputKey, std::string_view salt, std::string_view info,
                       std::size_t length);

// AES-256-GCM with a 12-byte nonce and a 16-byte tag.
namespace aesGCM {
inline constexpr std::size_t keySize = 32;
inline constexpr std::size_t nonceSize = 12;
inline constexpr std::size_t tagSize = 16;

struct Sealed {
  std::string ciphertext;  // as long as the plaintext
  std::string tag;         // 16 bytes
};

// Throws CryptoError for a key or nonce of the wrong size.
Sealed seal(std::string_view key, std::string_view nonce, std::string_view plaintext,
            std::string_view additionalData);
// Throws CryptoError when the tag does not authenticate the ciphertext and additional data (or
// for sizes that are wrong); no plaintext is returned then.
std::string open(std::string_view key, std::string_view nonce, std::string_view ciphertext,
                 std::string_view tag, std::string_view additionalData);
}  // namespace aesGCM

// An X.509 certificate, immutable once read.
class Certificate {
 public:
  // A DER certificate; no value when the bytes are not exactly one certificate.
  static std::optional<Certificate> fromDER(std::string_view der);
  // A PEM certificate ("CERTIFICATE" block), for tests and tools; no value on failure.
  static std::optional<Certificate> fromPEM(std::string_view pem);
  std::string der() const;
  // The subject key as an uncompressed X9.63 point when it is an elliptic-curve key (of any
  // curve); no value for other key types or a key that cannot be read.
  std::optional<std::string> ecPublicKeyX963() const;

  Certificate(const Certificate& other);
  Certificate& operator=(const Certificate& other);
  Certificate(Certificate&&) noexcept = default;
  Certificate& operator=(Certificate&&) noexcept = default;
  ~Certificate() = default;

 private:
  explicit Certificate(X509Ptr certificate) : certificate_(std::move(certificate)) {}
  X509Ptr certificate_;
};

}  // namespace tavra::crypto
