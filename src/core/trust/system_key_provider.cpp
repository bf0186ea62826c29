#include <stdexcept>
#include <system_error>

#include "tavra/certificate_key.h"
#include "tavra/decryption_key_provider.h"
#include "tavra/error.h"
#include "tavra/platform/unicode.h"
#include "tavra/secret_envelope.h"

namespace tavra {

namespace {

// A PEM private key is a few hundred bytes; anything much larger is not a key file.
constexpr std::int64_t maxKeyFileBytes = 1 << 20;

// The text of one key file, or no value when it must be skipped. With root ownership required
// the file is looked at without following a link, must be owned by root with no group or other
// permission bits, and the descriptor read is checked to be that same file. Only regular files
// are ever opened, so a FIFO or device in the directory cannot block the reader.
std::optional<std::string> readKeyFile(const FileSystem& files, const std::string& path,
                                       bool requireRootOwned) {
  fs::ReadResult read =
      files.readFile(path, {.maxBytes = maxKeyFileBytes,
                            .links = requireRootOwned ? fs::Links::notFinal : fs::Links::follow,
                            .requireRootOwned = requireRootOwned});
  if (!read || (requireRootOwned && (read.status.mode & 077) != 0)) return std::nullopt;
  if (!unicode::isValidUTF8(read.bytes)) return std::nullopt;
  return std::move(read.bytes);
}

}  // namespace

SystemKeyProvider::SystemKeyProvider(std::string keyDirectory, bool requireRootOwnedFiles,
                                     std::shared_ptr<const FileSystem> files,
                                     std::shared_ptr<const keychain::Keychain> keychain)
    : keyDirectory_(std::move(keyDirectory)),
      requireRootOwnedFiles_(requireRootOwnedFiles),
      files_(std::move(files)),
      keychain_(std::move(keychain)) {
  if (!files_) throw std::invalid_argument("SystemKeyProvider needs a FileSystem");
}

std::vector<std::pair<std::string, std::shared_ptr<const keychain::Identity>>>
SystemKeyProvider::keychainIdentities() const {
  std::vector<std::pair<std::string, std::shared_ptr<const keychain::Identity>>> out;
  std::vector<std::shared_ptr<const keychain::Identity>> identities;
  if (!keychain_) return out;
  try {
    identities = keychain_->ecIdentities();
  } catch (const std::exception&) {
    return out;
  }
  for (const auto& identity : identities) {
    if (!identity) continue;
    try {
      const auto certificate = identity->certificate();
      if (!certificate) continue;
      const auto publicKey = CertificateKey::x963PublicKey(*certificate);
      if (!publicKey) continue;
      out.emplace_back(SecretEnvelope::keyID(*publicKey), identity);
    } catch (const std::exception&) {
      continue;
    }
  }
  return out;
}

std::shared_ptr<const keychain::PrivateKey> SystemKeyProvider::keychainPrivateKey(
    const std::string& keyID) const {
  for (const auto& [id, identity] : keychainIdentities()) {
    if (id != keyID) continue;
    try {
      return identity->privateKey();
    } catch (const std::exception&) {
      return nullptr;
    }
  }
  return nullptr;
}

std::vector<crypto::P256PrivateKey> SystemKeyProvider::fileKeys() const {
  std::vector<crypto::P256PrivateKey> keys;
  std::error_code error;
  const auto names = files_->list(keyDirectory_, error);
  if (!names) return keys;
  for (const std::string& name : *names) {
    if (!name.ends_with(".pem")) continue;
    const auto text = readKeyFile(*files_, keyDirectory_ + "/" + name, requireRootOwnedFiles_);
    if (!text) continue;
    try {
      keys.push_back(crypto::P256PrivateKey::fromPEM(*text));
    } catch (const crypto::CryptoError&) {
      continue;
    }
  }
  return keys;
}

std::string SystemKeyProvider::sharedSecret(const keychain::PrivateKey& privateKey,
                                            std::string_view ephemeralX963) {
  try {
    return privateKey.keyExchange(ephemeralX963);
  } catch (const keychain::InvalidPublicKey&) {
    throw TavraError::crypto("invalid ephemeral key");
  } catch (const keychain::ExchangeFailed& failure) {
    throw TavraError::crypto("keychain key exchange failed: " +
                             failure.description().value_or("unknown"));
  }
}

std::string SystemKeyProvider::sharedSecret(const std::string& keyID,
                                            std::string_view ephemeralX963) const {
  if (const auto privateKey = keychainPrivateKey(keyID)) {
    return sharedSecret(*privateKey, ephemeralX963);
  }
  return InMemoryKeyProvider(fileKeys()).sharedSecret(keyID, ephemeralX963);
}

std::vector<std::string> SystemKeyProvider::availableKeyIDs() const {
  std::vector<std::string> ids;
  try {
    for (const auto& [id, identity] : keychainIdentities()) ids.push_back(id);
    for (const auto& key : fileKeys()) ids.push_back(SecretEnvelope::keyID(key.publicKey().x963()));
  } catch (const std::exception&) {
    // Listing is best effort: whatever was found so far is the answer.
  }
  return ids;
}

}  // namespace tavra
