#include "tavra/certificate_key.h"

#include "tavra/base64.h"
#include "tavra/error.h"
#include "tavra/platform/unicode.h"

namespace tavra {

namespace {

// The DER bytes of a PEM certificate: the lines that do not begin with "-----", joined, decoded
// as strict base64 (so a carriage return or any stray character fails).
std::optional<std::string> pemBody(std::string_view text) {
  std::string body;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    if (!line.starts_with("-----")) body += line;
    start = end + 1;
  }
  return base64::decode(body);
}

}  // namespace

std::string CertificateKey::x963PublicKey(std::string_view certificateData) {
  std::string der(certificateData);
  if (unicode::isValidUTF8(certificateData) &&
      certificateData.find("-----BEGIN CERTIFICATE-----") != std::string_view::npos) {
    auto body = pemBody(certificateData);
    if (!body) throw TavraError::crypto("invalid PEM certificate");
    der = std::move(*body);
  }
  const auto certificate = crypto::Certificate::fromDER(der);
  if (!certificate) throw TavraError::crypto("invalid certificate");
  auto key = x963PublicKey(*certificate);
  if (!key) throw TavraError::crypto("certificate does not contain a P-256 key");
  return std::move(*key);
}

std::optional<std::string> CertificateKey::x963PublicKey(const crypto::Certificate& certificate) {
  return certificate.ecPublicKeyX963();
}

}  // namespace tavra
