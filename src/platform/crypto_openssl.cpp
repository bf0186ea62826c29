#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <climits>
#include <string>

#include "tavra/platform/crypto.h"

namespace tavra::crypto {

void PKeyFree::operator()(EVP_PKEY* key) const noexcept {
  EVP_PKEY_free(key);
}
void PKeyContextFree::operator()(EVP_PKEY_CTX* context) const noexcept {
  EVP_PKEY_CTX_free(context);
}
void CipherContextFree::operator()(EVP_CIPHER_CTX* context) const noexcept {
  EVP_CIPHER_CTX_free(context);
}
void X509Free::operator()(X509* certificate) const noexcept {
  X509_free(certificate);
}
void BIOFree::operator()(BIO* bio) const noexcept {
  BIO_free(bio);
}

namespace {

// Drains OpenSSL's (thread-local) error queue into the text of one CryptoError.
[[noreturn]] void fail(std::string what) {
  unsigned long code = ERR_get_error();
  if (code != 0) {
    char reason[256];
    ERR_error_string_n(code, reason, sizeof reason);
    what += " (";
    what += reason;
    what += ")";
  }
  ERR_clear_error();
  throw CryptoError(what);
}

const unsigned char* bytes(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

unsigned char* bytes(std::string& text) {
  return reinterpret_cast<unsigned char*>(text.data());
}

int intSize(std::string_view text, const char* what) {
  if (text.size() > static_cast<std::size_t>(INT_MAX)) fail(std::string(what) + " is too long");
  return static_cast<int>(text.size());
}

PKeyContextPtr contextFor(EVP_PKEY* key) {
  PKeyContextPtr context(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!context) fail("cannot create a key context");
  return context;
}

BIOPtr memoryBIO(std::string_view text) {
  BIOPtr bio(BIO_new_mem_buf(text.data(), intSize(text, "PEM text")));
  if (!bio) fail("cannot read PEM text");
  return bio;
}

std::string bioContents(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(length));
}

std::string encodedPublicKey(EVP_PKEY* key) {
  std::size_t length = 0;
  if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, nullptr, 0,
                                      &length) != 1) {
    fail("cannot export the public key");
  }
  std::string out(length, '\0');
  if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, bytes(out),
                                      out.size(), &length) != 1) {
    fail("cannot export the public key");
  }
  out.resize(length);
  return out;
}

bool isP256(EVP_PKEY* key) {
  if (EVP_PKEY_is_a(key, "EC") != 1) return false;
  char group[64];
  std::size_t length = 0;
  if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                     &length) != 1) {
    ERR_clear_error();
    return false;
  }
  return std::string_view(group, length) == "prime256v1";
}

// No passphrase is ever asked for: an encrypted key simply fails to load.
int noPassphrase(char*, int, int, void*) {
  return -1;
}

}  // namespace

SharedPKey::SharedPKey(PKeyPtr key) : key_(std::move(key)) {}

SharedPKey::SharedPKey(const SharedPKey& other) : key_(nullptr) {
  if (other.key_ && EVP_PKEY_up_ref(other.key_.get()) == 1) key_.reset(other.key_.get());
}

SharedPKey& SharedPKey::operator=(const SharedPKey& other) {
  if (this != &other) *this = SharedPKey(other);
  return *this;
}

// --- Ed25519

Ed25519PublicKey Ed25519PublicKey::fromRaw(std::string_view raw) {
  if (raw.size() != rawSize) {
    throw CryptoError("invalid Ed25519 public key: " + std::to_string(raw.size()) +
                      " bytes, expected 32");
  }
  PKeyPtr key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytes(raw), raw.size()));
  if (!key) fail("invalid Ed25519 public key");
  return Ed25519PublicKey(SharedPKey(std::move(key)));
}

std::string Ed25519PublicKey::raw() const {
  std::string out(rawSize, '\0');
  std::size_t length = out.size();
  if (EVP_PKEY_get_raw_public_key(key_.get(), bytes(out), &length) != 1) {
    fail("cannot export the Ed25519 public key");
  }
  return out;
}

bool Ed25519PublicKey::isValidSignature(std::string_view signature,
                                        std::string_view message) const {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  &EVP_MD_CTX_free);
  const bool valid = context && signature.size() == 64 &&
                     EVP_DigestVerifyInit_ex(context.get(), nullptr, nullptr, nullptr, nullptr,
                                             key_.get(), nullptr) == 1 &&
                     EVP_DigestVerify(context.get(), bytes(signature), signature.size(),
                                      bytes(message), message.size()) == 1;
  ERR_clear_error();
  return valid;
}

Ed25519PrivateKey Ed25519PrivateKey::generate() {
  PKeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  if (!key) fail("cannot generate an Ed25519 key");
  return Ed25519PrivateKey(SharedPKey(std::move(key)));
}

Ed25519PrivateKey Ed25519PrivateKey::fromRaw(std::string_view raw) {
  if (raw.size() != rawSize) {
    throw CryptoError("invalid Ed25519 private key: " + std::to_string(raw.size()) +
                      " bytes, expected 32");
  }
  PKeyPtr key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, bytes(raw), raw.size()));
  if (!key) fail("invalid Ed25519 private key");
  return Ed25519PrivateKey(SharedPKey(std::move(key)));
}

std::string Ed25519PrivateKey::raw() const {
  std::string out(rawSize, '\0');
  std::size_t length = out.size();
  if (EVP_PKEY_get_raw_private_key(key_.get(), bytes(out), &length) != 1) {
    fail("cannot export the Ed25519 private key");
  }
  return out;
}

Ed25519PublicKey Ed25519PrivateKey::publicKey() const {
  std::string out(Ed25519PublicKey::rawSize, '\0');
  std::size_t length = out.size();
  if (EVP_PKEY_get_raw_public_key(key_.get(), bytes(out), &length) != 1) {
    fail("cannot export the Ed25519 public key");
  }
  return Ed25519PublicKey::fromRaw(out);
}

std::string Ed25519PrivateKey::sign(std::string_view message) const {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  &EVP_MD_CTX_free);
  if (!context) fail("cannot create a signing context");
  std::string signature(64, '\0');
  std::size_t length = signature.size();
  if (EVP_DigestSignInit_ex(context.get(), nullptr, nullptr, nullptr, nullptr, key_.get(),
                            nullptr) != 1 ||
      EVP_DigestSign(context.get(), bytes(signature), &length, bytes(message), message.size()) !=
          1) {
    fail("Ed25519 signing failed");
  }
  signature.resize(length);
  return signature;
}

// --- P-256

P256PublicKey P256PublicKey::fromX963(std::string_view raw) {
  if (raw.size() != x963Size || static_cast<unsigned char>(raw[0]) != 0x04) {
    throw CryptoError("invalid P-256 public key: expected 65 bytes of uncompressed X9.63");
  }
  PKeyContextPtr context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (!context || EVP_PKEY_fromdata_init(context.get()) != 1) fail("cannot create a key context");
  char group[] = "prime256v1";
  std::string point(raw);
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()),
      OSSL_PARAM_construct_end()};
  EVP_PKEY* made = nullptr;
  if (EVP_PKEY_fromdata(context.get(), &made, EVP_PKEY_PUBLIC_KEY,
                        const_cast<OSSL_PARAM*>(params)) != 1) {
    fail("invalid P-256 public key");
  }
  PKeyPtr key(made);
  // The import checks the point is on the curve; the full check also refuses the identity and
  // points outside the group.
  if (EVP_PKEY_public_check(contextFor(key.get()).get()) != 1) fail("invalid P-256 public key");
  return P256PublicKey(SharedPKey(std::move(key)));
}

std::string P256PublicKey::x963() const {
  return encodedPublicKey(key_.get());
}

P256PrivateKey P256PrivateKey::generate() {
  PKeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key) fail("cannot generate a P-256 key");
  return P256PrivateKey(SharedPKey(std::move(key)));
}

P256PrivateKey P256PrivateKey::fromPEM(std::string_view pem) {
  BIOPtr bio = memoryBIO(pem);
  PKeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr));
  if (!key) fail("invalid PEM private key");
  if (!isP256(key.get())) {
    ERR_clear_error();
    throw CryptoError("invalid PEM private key: not a P-256 key");
  }
  // A key file carries its public point beside the scalar; one that is not the scalar's own (a
  // damaged or doctored file) would be listed under a key id it cannot open. OpenSSL's full check
  // covers the point, the scalar's range and that the two belong together.
  if (EVP_PKEY_check(contextFor(key.get()).get()) != 1) {
    fail("invalid PEM private key: its public key does not belong to its private key");
  }
  return P256PrivateKey(SharedPKey(std::move(key)));
}

std::string P256PrivateKey::pem() const {
  BIOPtr bio(BIO_new(BIO_s_mem()));
  if (!bio ||
      PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    fail("cannot write the private key as PEM");
  }
  return bioContents(bio.get());
}

P256PublicKey P256PrivateKey::publicKey() const {
  return P256PublicKey::fromX963(encodedPublicKey(key_.get()));
}

std::string P256PrivateKey::sharedSecret(const P256PublicKey& peer) const {
  PKeyContextPtr context = contextFor(key_.get());
  std::size_t length = 0;
  if (EVP_PKEY_derive_init(context.get()) != 1 ||
      EVP_PKEY_derive_set_peer(context.get(), peer.get()) != 1 ||
      EVP_PKEY_derive(context.get(), nullptr, &length) != 1) {
    fail("P-256 key agreement failed");
  }
  std::string secret(length, '\0');
  if (EVP_PKEY_derive(context.get(), bytes(secret), &length) != 1) {
    fail("P-256 key agreement failed");
  }
  secret.resize(length);
  return secret;
}

// --- HKDF

std::string hkdfSHA256(std::string_view inputKey, std::string_view salt, std::string_view info,
                       std::size_t length) {
  std::unique_ptr<EVP_KDF, decltype(&EVP_KDF_free)> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr),
                                                        &EVP_KDF_free);
  if (!kdf) fail("HKDF is not available");
  std::unique_ptr<EVP_KDF_CTX, decltype(&EVP_KDF_CTX_free)> context(EVP_KDF_CTX_new(kdf.get()),
                                                                    &EVP_KDF_CTX_free);
  if (!context) fail("cannot create an HKDF context");
  char digest[] = "SHA256";
  std::string key(inputKey), saltCopy(salt), infoCopy(info);
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, key.data(), key.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, saltCopy.data(), saltCopy.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, infoCopy.data(), infoCopy.size()),
      OSSL_PARAM_construct_end()};
  std::string out(length, '\0');
  if (EVP_KDF_derive(context.get(), bytes(out), out.size(), params) != 1) {
    fail("HKDF-SHA256 failed");
  }
  return out;
}

// --- AES-256-GCM

namespace aesGCM {

namespace {

CipherContextPtr start(bool encrypting, std::string_view key, std::string_view nonce) {
  if (key.size() != keySize) throw CryptoError("AES-256-GCM needs a 32-byte key");
  if (nonce.size() != nonceSize) throw CryptoError("AES-GCM needs a 12-byte nonce");
  CipherContextPtr context(EVP_CIPHER_CTX_new());
  if (!context) fail("cannot create a cipher context");
  const int ok =
      encrypting
          ? EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, bytes(key), bytes(nonce))
          : EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, bytes(key), bytes(nonce));
  if (ok != 1) fail("cannot start AES-GCM");
  return context;
}

}  // namespace

Sealed seal(std::string_view key, std::string_view nonce, std::string_view plaintext,
            std::string_view additionalData) {
  CipherContextPtr context = start(true, key, nonce);
  int length = 0;
  if (!additionalData.empty() &&
      EVP_EncryptUpdate(context.get(), nullptr, &length, bytes(additionalData),
                        intSize(additionalData, "additional data")) != 1) {
    fail("AES-GCM encryption failed");
  }
  Sealed sealed{std::string(plaintext.size(), '\0'), std::string(tagSize, '\0')};
  int written = 0;
  if (!plaintext.empty() &&
      EVP_EncryptUpdate(context.get(), bytes(sealed.ciphertext), &written, bytes(plaintext),
                        intSize(plaintext, "plaintext")) != 1) {
    fail("AES-GCM encryption failed");
  }
  unsigned char rest[16];
  if (EVP_EncryptFinal_ex(context.get(), rest, &length) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(tagSize),
                          sealed.tag.data()) != 1) {
    fail("AES-GCM encryption failed");
  }
  return sealed;
}

std::string open(std::string_view key, std::string_view nonce, std::string_view ciphertext,
                 std::string_view tag, std::string_view additionalData) {
  if (tag.size() != tagSize) throw CryptoError("AES-GCM needs a 16-byte tag");
  CipherContextPtr context = start(false, key, nonce);
  int length = 0;
  if (!additionalData.empty() &&
      EVP_DecryptUpdate(context.get(), nullptr, &length, bytes(additionalData),
                        intSize(additionalData, "additional data")) != 1) {
    fail("AES-GCM decryption failed");
  }
  std::string plaintext(ciphertext.size(), '\0');
  int written = 0;
  if (!ciphertext.empty() &&
      EVP_DecryptUpdate(context.get(), bytes(plaintext), &written, bytes(ciphertext),
                        intSize(ciphertext, "ciphertext")) != 1) {
    fail("AES-GCM decryption failed");
  }
  std::string tagCopy(tag);
  unsigned char rest[16];
  if (EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(tagSize),
                          tagCopy.data()) != 1 ||
      EVP_DecryptFinal_ex(context.get(), rest, &length) != 1) {
    fail("AES-GCM authentication failed");
  }
  return plaintext;
}

}  // namespace aesGCM

// --- X.509

std::optional<Certificate> Certificate::fromDER(std::string_view der) {
  if (der.empty() || der.size() > static_cast<std::size_t>(LONG_MAX)) return std::nullopt;
  const unsigned char* cursor = bytes(der);
  X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  ERR_clear_error();
  if (!certificate || cursor != bytes(der) + der.size()) return std::nullopt;
  return Certificate(std::move(certificate));
}

std::optional<Certificate> Certificate::fromPEM(std::string_view pem) {
  if (pem.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  BIOPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  X509Ptr certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  ERR_clear_error();
  if (!certificate) return std::nullopt;
  return Certificate(std::move(certificate));
}

std::string Certificate::der() const {
  unsigned char* out = nullptr;
  const int length = i2d_X509(certificate_.get(), &out);
  if (length < 0) fail("cannot encode the certificate");
  std::string der(reinterpret_cast<const char*>(out), static_cast<std::size_t>(length));
  OPENSSL_free(out);
  return der;
}

std::optional<std::string> Certificate::ecPublicKeyX963() const {
  EVP_PKEY* subjectKey = X509_get0_pubkey(certificate_.get());
  if (!subjectKey || EVP_PKEY_is_a(subjectKey, "EC") != 1) {
    ERR_clear_error();
    return std::nullopt;
  }
  // A certificate may carry a compressed point; the X9.63 form here is always uncompressed.
  PKeyPtr key(EVP_PKEY_dup(subjectKey));
  char uncompressed[] = "uncompressed";
  if (!key || EVP_PKEY_set_utf8_string_param(key.get(), OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT,
                                             uncompressed) != 1) {
    ERR_clear_error();
    return std::nullopt;
  }
  try {
    return encodedPublicKey(key.get());
  } catch (const CryptoError&) {
    return std::nullopt;
  }
}

Certificate::Certificate(const Certificate& other) : certificate_(nullptr) {
  if (other.certificate_ && X509_up_ref(other.certificate_.get()) == 1) {
    certificate_.reset(other.certificate_.get());
  }
}

Certificate& Certificate::operator=(const Certificate& other) {
  if (this != &other) *this = Certificate(other);
  return *this;
}

}  // namespace tavra::crypto
