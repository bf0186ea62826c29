// CertificateKey: a recipient's X9.63 public key taken from a certificate.
//
// Stateless; any thread. Failures throw TavraError::crypto with "invalid PEM certificate",
// "invalid certificate" or "certificate does not contain a P-256 key".
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "tavra/platform/crypto.h"

namespace tavra::CertificateKey {

// A PEM (text containing "-----BEGIN CERTIFICATE-----", line feeds only) or DER certificate
// to the uncompressed X9.63 bytes of its elliptic-curve key.
std::string x963PublicKey(std::string_view certificateData);

// The certificate's elliptic-curve public key in X9.63 form; no value when it has another key
// type or the key cannot be exported. The curve size is not checked.
std::optional<std::string> x963PublicKey(const crypto::Certificate& certificate);

}  // namespace tavra::CertificateKey
