#include <fcntl.h>

#include <filesystem>
#include <system_error>

#include "tavra/certificate_key.h"
#include "tavra/decryption_key_provider.h"
#include "tavra/error.h"
#include "tavra/platform/file_system.h"
#include "tavra/platform/unicode.h"
#include "tavra/secret_envelope.h"

namespace tavra {

namespace {

// A PEM private key is a few hundred bytes; anything much larger is not a key file.
constexpr std::int64_t maxKeyFileBytes = 1 << 20;

bool acceptable(const fs::FileStatus& status, bool requireRootOwned) {
  if (!status.isRegular()) return false;
  return !requireRootOwned || (status.owner == 0 && (status.mode & 077) == 0);
}

// The text of one key file, or no value when it must be skipped. With root ownership required
// the file is examined without following a link, and the descriptor read is checked to be that
// same file. Only regular files are ever opened, so a FIFO or device in the directory cannot
// block the reader.
std::optional<std::string> readKeyFile(const std::string& path, bool requireRootOwned) {
  std::error_code error;
  const auto examined = fs::statAt(AT_FDCWD, path, !requireRootOwned, error);
  if (!examined || !acceptable(*examined, requireRootOwned)) return std::nullopt;
  const int flags = O_RDONLY | O_NONBLOCK | (requireRootOwned ? O_NOFOLLOW : 0);
  const fs::FileDescriptor file = fs::openAt(AT_FDCWD, path, flags, 0, error);
  if (!file) return std::nullopt;
  const auto opened = fs::stat(file.get(), error);
  if (!opened || !opened->sameFile(*examined) || !acceptable(*opened, requireRootOwned)) {
    return std::nullopt;
  }
  try {
    auto text = fs::readAll(file.get(), maxKeyFileBytes, error);
    if (!text || !unicode::isValidUTF8(*text)) return std::nullopt;
    return text;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

SystemKeyProvider::SystemKeyProvider(std::string keyDirectory, bool requireRootOwnedFiles,
                                     std::shared_ptr<const keychain::Keychain> keychain)
    : keyDirectory_(std::move(keyDirectory)),
      requireRootOwnedFiles_(requireRootOwnedFiles),
      keychain_(keychain ? std::move(keychain) : std::make_shared<keychain::NoKeychain>()) {}

std::vector<std::pair<std::string, std::shared_ptr<const keychain::Identity>>>
SystemKeyProvider::keychainIdentities() const {
  std::vector<std::pair<std::string, std::shared_ptr<const keychain::Identity>>> out;
  std::vector<std::shared_ptr<const keychain::Identity>> identities;
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
  std::filesystem::directory_iterator entries(keyDirectory_, error);
  if (error) return keys;
  for (auto end = std::filesystem::directory_iterator(); entries != end; entries.increment(error)) {
    if (error) break;
    const std::string name = entries->path().filename().string();
    if (!name.ends_with(".pem")) continue;
    const auto text = readKeyFile(keyDirectory_ + "/" + name, requireRootOwnedFiles_);
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
