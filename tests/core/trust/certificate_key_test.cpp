#include "tavra/certificate_key.h"

#include <gtest/gtest.h>

#include "support/crypto_fixtures.h"
#include "support/tavra_error.h"
#include "support/temp_tree.h"
#include "tavra/error.h"

namespace tavra {
namespace {

class CertificateKeyTest : public ::testing::Test {
 protected:
  test::TempTree tree;
  std::string certificate(const std::string& name, const std::vector<std::string>& keyArgs,
                          std::string* keyPath = nullptr) {
    const std::string key = test::makeKey(tree, name + ".key", keyArgs);
    if (keyPath) *keyPath = key;
    return test::readFile(test::makeCertificate(tree, name + ".pem", key));
  }
  std::string der(const std::string& pem) {
    return test::openssl({"x509", "-outform", "DER"}, pem);
  }
  std::string message(std::string_view data) {
    return test::tavraErrorMessage(TavraError::Case::crypto,
                                   [&] { CertificateKey::x963PublicKey(data); });
  }
};

TEST_F(CertificateKeyTest, PEMAndDERGiveTheKeysX963Form) {
  std::string keyPath;
  const std::string pem =
      certificate("p256", {"-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"}, &keyPath);
  const std::string expected =
      crypto::P256PrivateKey::fromPEM(test::readFile(keyPath)).publicKey().x963();
  EXPECT_EQ(CertificateKey::x963PublicKey(pem), expected);
  EXPECT_EQ(CertificateKey::x963PublicKey(der(pem)), expected);
  EXPECT_EQ(CertificateKey::x963PublicKey(*crypto::Certificate::fromPEM(pem)), expected);
}

TEST_F(CertificateKeyTest, Failures) {
  const std::string pem =
      certificate("p256", {"-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"});
  std::string crlf;
  for (char c : pem) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  const std::string rsa =
      certificate("rsa", {"-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048"});
  const std::string ed = certificate("ed", {"-algorithm", "ED25519"});
  EXPECT_EQ(message(crlf), "invalid PEM certificate");
  EXPECT_EQ(message("leading text\n" + pem), "invalid PEM certificate");
  EXPECT_EQ(message("-----BEGIN CERTIFICATE-----\nnot*base64\n-----END CERTIFICATE-----\n"),
            "invalid PEM certificate");
  EXPECT_EQ(message("-----BEGIN CERTIFICATE-----\n-----END CERTIFICATE-----\n"),
            "invalid certificate");
  EXPECT_EQ(message(""), "invalid certificate");
  EXPECT_EQ(message("just some bytes"), "invalid certificate");
  EXPECT_EQ(message(rsa), "certificate does not contain a P-256 key");
  EXPECT_EQ(message(der(rsa)), "certificate does not contain a P-256 key");
  EXPECT_EQ(message(ed), "certificate does not contain a P-256 key");
}

TEST_F(CertificateKeyTest, OtherEllipticCurvesAreNotChecked) {
  const std::string p384 =
      certificate("p384", {"-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-384"});
  const auto x963 = CertificateKey::x963PublicKey(p384);
  EXPECT_EQ(x963.size(), 97u);
  EXPECT_EQ(x963[0], '\x04');
}

}  // namespace
}  // namespace tavra
