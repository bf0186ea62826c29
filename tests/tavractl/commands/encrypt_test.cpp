// `encrypt`: the recipient key from a certificate or base64 text, checked before the secret is
// read; the secret from the argument or one line of standard input. Round trips with `key-info`
// and `decrypt` run the built program as an administrator would.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <iterator>

#include "fake_context.h"
#include "support/temp_tree.h"
#include "tavra/base64.h"
#include "tavra/constants.h"
#include "tavra/platform/crypto.h"
#include "tavra/secret_envelope.h"
#include "tool_fixtures.h"
#include "tool_process.h"

namespace tavra::test {
namespace {

std::string unread(std::istream& in) {
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The envelope the tool printed, without its line feed.
std::string envelopeOf(const std::string& output) {
  EXPECT_TRUE(output.starts_with("TAVRA-ENC:v1:")) << output;
  EXPECT_TRUE(output.ends_with("\n")) << output;
  EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
  return output.substr(0, output.size() - 1);
}

class EncryptTest : public ::testing::Test {
 protected:
  ToolResult encrypt(const std::vector<std::string>& words, const std::string& input = {}) {
    fake.in.str(input);
    fake.in.clear();
    std::vector<std::string> all = {"encrypt"};
    all.insert(all.end(), words.begin(), words.end());
    return fake.run(all);
  }
  std::string open(const std::string& envelope) {
    return SecretEnvelope::decrypt(envelope, InMemoryKeyProvider({key}));
  }

  TempTree tree;
  FakeContext fake;
  OrganisationKey org{tree};
  crypto::P256PrivateKey key = crypto::P256PrivateKey::fromPEM(readFile(org.keyFile));
  std::string publicKey = base64::encode(key.publicKey().x963());
};

TEST_F(EncryptTest, SealsTheArgumentToTheCertificateOrThePublicKey) {
  for (const auto& words : std::vector<std::vector<std::string>>{
           {"--cert", org.certificate, "s3cret"},
           {"--public-key", publicKey, "s3cret"},
           // With both, the certificate is used and the key text is not looked at.
           {"--cert", org.certificate, "--public-key", "not base64!", "s3cret"}}) {
    const ToolResult result = encrypt(words);
    ASSERT_EQ(result.status, 0) << result.errors;
    const std::string envelope = envelopeOf(result.output);
    EXPECT_EQ(envelope.substr(13, 16), SecretEnvelope::keyID(key.publicKey().x963()));
    EXPECT_EQ(open(envelope), "s3cret");
  }
  // A fresh envelope every time.
  EXPECT_NE(encrypt({"--public-key", publicKey, "x"}).output,
            encrypt({"--public-key", publicKey, "x"}).output);
}

TEST_F(EncryptTest, TheSecretIsOneLineOfStandardInputWithoutItsTerminator) {
  for (const auto& [input, secret, rest] : std::vector<std::array<std::string, 3>>{
           {"s3cret\r\nnext line\n", "s3cret", "next line\n"},
           {"s3cret\n", "s3cret", ""},
           {"no line feed", "no line feed", ""},
           {"inner\rreturn\n", "inner\rreturn", ""},
           {"two returns\r\r\n", "two returns\r", ""},
           {"caf\xC3\xA9 \xF0\x9F\x94\x91\n", "caf\xC3\xA9 \xF0\x9F\x94\x91", ""}}) {
    SCOPED_TRACE(input);
    const ToolResult result = encrypt({"--public-key", publicKey}, input);
    ASSERT_EQ(result.status, 0) << result.errors;
    EXPECT_EQ(open(envelopeOf(result.output)), secret);
    EXPECT_EQ(unread(fake.in), rest) << "nothing after the line is taken";
  }
}

TEST_F(EncryptTest, AnEmptySecretIsRefused) {
  for (const auto& [words, input] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--public-key", publicKey, ""}, ""},
           {{"--public-key", publicKey}, ""},
           {{"--public-key", publicKey}, "\n"},
           {{"--public-key", publicKey}, "\r\nsecret on the second line\n"}}) {
    const ToolResult result = encrypt(words, input);
    EXPECT_EQ(result.status, 64);
    EXPECT_EQ(result.output, "");
    EXPECT_TRUE(result.errors.starts_with("Error: empty secret\nUsage: tavractl encrypt "))
        << result.errors;
  }
}

TEST_F(EncryptTest, WithoutAUsableKeyOptionItAsksForOne) {
  for (const auto& words : std::vector<std::vector<std::string>>{
           {"s3cret"},
           {"--public-key", "not base64!", "s3cret"},
           {"--public-key", publicKey + "\n", "s3cret"},
           {"--public-key", publicKey.substr(0, publicKey.size() - 1), "s3cret"},
           {"--public-key", base64::encodeURL(key.publicKey().x963()), "s3cret"}}) {
    const ToolResult result = encrypt(words, "unread\n");
    EXPECT_EQ(result.status, 64);
    EXPECT_TRUE(result.errors.starts_with("Error: pass --cert or --public-key\n")) << result.errors;
    EXPECT_EQ(unread(fake.in), "unread\n");
  }
}

TEST_F(EncryptTest, AKeyOfTheWrongSizeOrCurveFailsWhenSealing) {
  const OrganisationKey p384(tree, "p384", "P-384");
  for (const auto& words : std::vector<std::vector<std::string>>{
           {"--public-key", base64::encode(std::string(10, 'k')), "s3cret"},
           {"--public-key", "", "s3cret"},
           {"--public-key", base64::encode(std::string(65, '\x04')), "s3cret"},
           {"--cert", p384.certificate, "s3cret"}}) {
    const ToolResult result = encrypt(words);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "");
    EXPECT_TRUE(result.errors.starts_with("Error: invalid P-256 public key")) << result.errors;
    EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 1);
  }
}

TEST_F(EncryptTest, ABadCertificateIsReportedBeforeStandardInputIsRead) {
  std::string crlf;
  for (const char c : readFile(org.certificate))
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const std::string rsaKey = makeKey(tree, "rsa.key.pem", {"-algorithm", "RSA"});
  const std::string huge = tree.write("huge.pem", "");
  ASSERT_EQ(truncate(huge.c_str(), Constants::maxInputFileBytes + 1), 0);
  const std::string missing = tree.path("missing.pem");
  const std::string folder = tree.mkdir("folder.pem");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {missing, "cannot read " + missing + ": No such file or directory"},
      {folder, "cannot read " + folder + ": Is a directory"},
      {huge, "cannot read " + huge + ": larger than 64 MiB"},
      {tree.write("empty.pem", ""), "crypto: invalid certificate"},
      {tree.write("binary.der", std::string("\x30\x82\xFF\x00\x01", 5)),
       "crypto: invalid certificate"},
      {tree.write("crlf.pem", crlf), "crypto: invalid PEM certificate"},
      {org.keyFile, "crypto: invalid certificate"},
      {makeCertificate(tree, "rsa.cert.pem", rsaKey),
       "crypto: certificate does not contain a P-256 key"},
  };
  for (const auto& [certificate, message] : cases) {
    SCOPED_TRACE(certificate);
    const ToolResult result = encrypt({"--cert", certificate}, "typed secret\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors, "Error: " + message + "\n");
    EXPECT_EQ(unread(fake.in), "typed secret\n");
  }
}

TEST_F(EncryptTest, StandardInputThatIsNotTextIsRefused) {
  ToolResult result = encrypt({"--public-key", publicKey}, "caf\xE9\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.errors, "Error: cannot read standard input: not UTF-8 text\n");

  result = encrypt({"--public-key", publicKey},
                   std::string(static_cast<std::size_t>(Constants::maxInputFileBytes) + 1, 'x'));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.errors, "Error: cannot read standard input: line larger than 64 MiB\n");
}

// ---- Round trips with the built program ------------------------------------------------------

class EnvelopeRoundTripTest : public ::testing::Test {
 protected:
  static std::string lineValue(const std::string& output, const std::string& label) {
    const std::size_t at = output.find(label);
    if (at == std::string::npos) return "";
    const std::size_t start = at + label.size();
    return output.substr(start, output.find('\n', start) - start);
  }

  TempTree tree;
  OrganisationKey org{tree};
};

TEST_F(EnvelopeRoundTripTest, KeyInfoEncryptAndDecryptAgree) {
  const ProcessResult info = runTavractl({"key-info", "--cert", org.certificate});
  ASSERT_EQ(info.status, 0) << info.errors;
  const std::string keyID = lineValue(info.output, "key id:     ");
  const std::string publicKey = lineValue(info.output, "public key: ");
  EXPECT_EQ(info.output, "key id:     " + keyID + "\npublic key: " + publicKey + "\n");
  EXPECT_EQ(keyID.size(), 16u);

  // The same key from the certificate in DER form.
  const std::string der = tree.path("org.cert.der");
  openssl({"x509", "-in", org.certificate, "-outform", "DER", "-out", der});
  EXPECT_EQ(runTavractl({"key-info", "--cert", der}).output, info.output);

  // A secret typed on standard input, ending in CR LF, sealed to the certificate.
  const ProcessResult first = runTavractl({"encrypt", "--cert", org.certificate}, {}, "s3cret\r\n");
  ASSERT_EQ(first.status, 0) << first.errors;
  const std::string envelope1 = envelopeOf(first.output);
  EXPECT_EQ(envelope1.substr(13, 17), keyID + ":");
  ProcessResult opened = runTavractl({"decrypt", "--key", org.keyFile, envelope1});
  EXPECT_EQ(opened.status, 0) << opened.errors;
  EXPECT_EQ(opened.output, "s3cret\n");

  // Sealed to the printed public key text.
  const ProcessResult second = runTavractl({"encrypt", "--public-key", publicKey, "second one"});
  ASSERT_EQ(second.status, 0) << second.errors;
  const std::string envelope2 = envelopeOf(second.output);
  EXPECT_EQ(envelope2.substr(13, 16), keyID);
  opened = runTavractl({"decrypt", "--key", org.keyFile}, {}, envelope2 + "\n");
  EXPECT_EQ(opened.output, "second one\n");

  // Two envelopes with plain words around and between them.
  opened = runTavractl({"decrypt", "--key", org.keyFile}, {},
                       "user=" + envelope1 + " pass=" + envelope2 + " end\r\n");
  EXPECT_EQ(opened.status, 0) << opened.errors;
  EXPECT_EQ(opened.output, "user=s3cret pass=second one end\n");
}

TEST_F(EnvelopeRoundTripTest, EachCommandTakesOnlyItsOwnLineOfStandardInput) {
  // Three programs share one standard input, a pipe or a file: encrypt takes the first line,
  // decrypt the second, and cat is left the rest, as with the shell's own read.
  const std::string envelope =
      envelopeOf(runTavractl({"encrypt", "--cert", org.certificate, "sealed before"}).output);
  const std::string input = "first secret\r\n" + envelope + "\nthe rest\nand more\n";
  const std::string inputFile = tree.write("input.txt", input);
  const std::string script = R"SH(
"$1" encrypt --cert "$2" || exit 1
"$1" decrypt --key "$3" || exit 1
cat
)SH";
  for (const bool fromFile : {false, true}) {
    SCOPED_TRACE(fromFile ? "file" : "pipe");
    const ProcessResult result =
        fromFile
            ? runProcess({"sh", "-c", "exec < \"$4\"" + script, "sh", tavractlPath, org.certificate,
                          org.keyFile, inputFile})
            : runProcess({"sh", "-c", script, "sh", tavractlPath, org.certificate, org.keyFile},
                         input);
    ASSERT_EQ(result.status, 0) << result.errors;
    const std::size_t firstEnd = result.output.find('\n');
    ASSERT_NE(firstEnd, std::string::npos) << result.output;
    const std::string sealed = result.output.substr(0, firstEnd);
    EXPECT_EQ(result.output.substr(firstEnd + 1), "sealed before\nthe rest\nand more\n");
    const ProcessResult opened = runTavractl({"decrypt", "--key", org.keyFile, sealed});
    EXPECT_EQ(opened.output, "first secret\n") << opened.errors;
  }
}

TEST_F(EnvelopeRoundTripTest, ABadKeyOrEnvelopeIsOneErrorLineAndNothingOnStandardOutput) {
  const std::string envelope =
      envelopeOf(runTavractl({"encrypt", "--cert", org.certificate, "s3cret"}).output);
  const OrganisationKey other(tree, "other");
  for (const auto& [words, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"decrypt", "--key", org.keyFile, envelope.substr(0, 40)},
            "crypto: malformed envelope"},
           {{"decrypt", "--key", other.keyFile, envelope},
            "crypto: no private key for key id " + envelope.substr(13, 16)},
           {{"decrypt", "--key", org.certificate, envelope}, ""},
           {{"encrypt", "--cert", org.keyFile, "x"}, "crypto: invalid certificate"}}) {
    const ProcessResult result = runTavractl(words);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "");
    EXPECT_TRUE(result.errors.starts_with("Error: " + message)) << result.errors;
    EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 1) << result.errors;
  }
}

}  // namespace
}  // namespace tavra::test
