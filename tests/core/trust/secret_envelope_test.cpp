#include "tavra/secret_envelope.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <stdexcept>

#include "support/tavra_error.h"
#include "tavra/base64.h"
#include "tavra/error.h"
#include "tavra/platform/crypto.h"
#include "tavra/platform/digest.h"

namespace tavra {
namespace {

std::string cryptoMessage(const std::function<void()>& call) {
  return test::tavraErrorMessage(TavraError::Case::crypto, call);
}

// Seals raw bytes with a key id text of the test's choosing, following the envelope layout.
std::string sealRaw(std::string_view plaintext, const crypto::P256PublicKey& recipient,
                    const std::string& keyIDText) {
  const auto ephemeral = crypto::P256PrivateKey::generate();
  const std::string ephemeralX963 = ephemeral.publicKey().x963();
  const std::string key =
      crypto::hkdfSHA256(ephemeral.sharedSecret(recipient), ephemeralX963, "tavra-enc-v1", 32);
  const std::string nonce = digest::randomBytes(12);
  const auto sealed = crypto::aesGCM::seal(key, nonce, plaintext, "TAVRA-ENC:v1:" + keyIDText);
  return "TAVRA-ENC:v1:" + keyIDText + ":" +
         base64::encodeURL(ephemeralX963 + nonce + sealed.ciphertext + sealed.tag);
}

// A provider whose answer the test decides.
class FunctionProvider : public DecryptionKeyProvider {
 public:
  using Function = std::function<std::string(const std::string&, std::string_view)>;
  explicit FunctionProvider(Function function) : function_(std::move(function)) {}
  std::string sharedSecret(const std::string& keyID, std::string_view ephemeral) const override {
    return function_(keyID, ephemeral);
  }

 private:
  Function function_;
};

// A provider that answers every key id with `key`.
FunctionProvider anyID(const crypto::P256PrivateKey& key) {
  return FunctionProvider([key](const std::string&, std::string_view ephemeral) {
    return key.sharedSecret(crypto::P256PublicKey::fromX963(ephemeral));
  });
}

class SecretEnvelopeTest : public ::testing::Test {
 protected:
  crypto::P256PrivateKey key = crypto::P256PrivateKey::generate();
  std::string recipient = key.publicKey().x963();
  std::string id = SecretEnvelope::keyID(recipient);
  InMemoryKeyProvider keys{{key}};

  std::string payloadOf(const std::string& envelope) {
    return envelope.substr(SecretEnvelope::prefix.size() + 17);
  }
};

TEST_F(SecretEnvelopeTest, ConstantsAndKeyID) {
  EXPECT_EQ(SecretEnvelope::prefix, "TAVRA-ENC:v1:");
  EXPECT_EQ(SecretEnvelope::prefix.size(), 13u);
  EXPECT_EQ(SecretEnvelope::info, "tavra-enc-v1");
  EXPECT_EQ(SecretEnvelope::keyID("abc"), "ba7816bf8f01cfea");  // SHA-256("abc") begins so
  EXPECT_EQ(id, digest::sha256Hex(recipient).substr(0, 16));
}

TEST_F(SecretEnvelopeTest, SealingTwiceGivesDifferentEnvelopesThatBothOpen) {
  const std::string first = SecretEnvelope::encrypt("hunter2", recipient);
  const std::string second = SecretEnvelope::encrypt("hunter2", recipient);
  EXPECT_NE(first, second);
  EXPECT_EQ(first.substr(0, 30), "TAVRA-ENC:v1:" + id + ":");
  EXPECT_EQ(second.substr(0, 30), first.substr(0, 30));
  EXPECT_EQ(SecretEnvelope::decrypt(first, keys), "hunter2");
  EXPECT_EQ(SecretEnvelope::decrypt(second, keys), "hunter2");
  EXPECT_EQ(SecretEnvelope::decrypt(SecretEnvelope::encrypt("ünïcødé ✓", recipient), keys),
            "ünïcødé ✓");
}

TEST_F(SecretEnvelopeTest, PayloadSizesAndAlphabet) {
  const std::string one = SecretEnvelope::encrypt("x", recipient);
  EXPECT_EQ(base64::decodeURL(payloadOf(one))->size(), 94u);
  EXPECT_EQ(SecretEnvelope::decrypt(one, keys), "x");
  const std::string empty = SecretEnvelope::encrypt("", recipient);
  EXPECT_EQ(base64::decodeURL(payloadOf(empty))->size(), 93u);
  EXPECT_EQ(cryptoMessage([&] { SecretEnvelope::decrypt(empty, keys); }), "malformed envelope");
  for (std::size_t length = 0; length < 48; ++length) {
    const std::string payload =
        payloadOf(SecretEnvelope::encrypt(std::string(length, 'p'), recipient));
    EXPECT_EQ(payload.find_first_of("+/="), std::string::npos) << length;
  }
}

TEST_F(SecretEnvelopeTest, MalformedAndForeignTexts) {
  const std::string valid = SecretEnvelope::encrypt("s", recipient);
  const std::string payload = payloadOf(valid);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"TAVRA-ENC:v1:", "malformed envelope"},
      {"TAVRA-ENC:v1:" + id, "malformed envelope"},
      {"TAVRA-ENC:v1:" + id + ":", "malformed envelope"},
      {"TAVRA-ENC:v1:::", "malformed envelope"},
      {"TAVRA-ENC:v1:" + id + "::" + payload, "malformed envelope"},
      {"TAVRA-ENC:v1:" + id + ":" + payload.substr(0, 20), "malformed envelope"},
      {"TAVRA-ENC:v1:" + id + ":" + payload + "!", "malformed envelope"},
      {"TAVRA-ENC:v1:" + id + ":" + payload + "AAA", "malformed envelope"},  // length 1 mod 4
      {"tavra-enc:v1:" + id + ":" + payload, "not an envelope"},
      {" " + valid, "not an envelope"},
      {"", "not an envelope"},
  };
  for (const auto& [text, message] : cases) {
    const std::string& envelope = text;  // clang 14 cannot capture a structured binding
    EXPECT_EQ(cryptoMessage([&] { SecretEnvelope::decrypt(envelope, keys); }), message) << text;
  }
  // Leading colons before the key id are not counted as pieces.
  EXPECT_EQ(SecretEnvelope::decrypt("TAVRA-ENC:v1::" + id + ":" + payload, keys), "s");
}

TEST_F(SecretEnvelopeTest, TheKeyIDIsAuthenticated) {
  const std::string valid = SecretEnvelope::encrypt("s", recipient);
  std::string changed = valid;
  changed[13] = changed[13] == '0' ? '1' : '0';
  const std::string changedID = changed.substr(13, 16);
  // A provider without a key for the changed id reports its own error.
  EXPECT_EQ(cryptoMessage([&] { SecretEnvelope::decrypt(changed, keys); }),
            "no private key for key id " + changedID);
  // A provider that has a key under the changed id still fails the authentication.
  EXPECT_EQ(cryptoMessage([&] { SecretEnvelope::decrypt(changed, anyID(key)); }),
            "authentication failed for key " + changedID);
}

TEST_F(SecretEnvelopeTest, FailuresInsideTheOpeningBecomeAuthenticationFailures) {
  const std::string valid = SecretEnvelope::encrypt("secret", recipient);
  auto payload = *base64::decodeURL(payloadOf(valid));
  const auto withPayload = [&](const std::string& bytes) {
    return "TAVRA-ENC:v1:" + id + ":" + base64::encodeURL(bytes);
  };
  std::string tamperedCipher = payload;
  tamperedCipher[77] = static_cast<char>(tamperedCipher[77] ^ 1);
  std::string tamperedTag = payload;
  tamperedTag.back() = static_cast<char>(tamperedTag.back() ^ 1);
  std::string badPoint = payload;
  badPoint[64] = static_cast<char>(badPoint[64] ^ 1);
  const auto wrongKey = anyID(crypto::P256PrivateKey::generate());
  for (const std::string& text :
       {withPayload(tamperedCipher), withPayload(tamperedTag), withPayload(badPoint)}) {
    EXPECT_EQ(cryptoMessage([&] { SecretEnvelope::decrypt(text, keys); }),
              "authentication failed for key " + id);
  }
  EXPECT_EQ(cryptoMessage([&] { SecretEnvelope::decrypt(valid, wrongKey); }),
            "authentication failed for key " + id);
}

TEST_F(SecretEnvelopeTest, ProviderErrorsKeepTheirKindOnlyWhenTheyAreTavraErrors) {
  const std::string valid = SecretEnvelope::encrypt("s", recipient);
  const FunctionProvider tavraError([](const std::string&, std::string_view) -> std::string {
    throw TavraError::io("disk on fire");
  });
  const FunctionProvider otherError([](const std::string&, std::string_view) -> std::string {
    throw std::runtime_error("platform failure");
  });
  EXPECT_EQ(test::tavraErrorMessage(TavraError::Case::io,
                                    [&] { SecretEnvelope::decrypt(valid, tavraError); }),
            "disk on fire");
  EXPECT_EQ(cryptoMessage([&] { SecretEnvelope::decrypt(valid, otherError); }),
            "authentication failed for key " + id);
}

TEST_F(SecretEnvelopeTest, PlaintextMustBeUTF8) {
  const std::string sealed = sealRaw("\xff\xfe", key.publicKey(), id);
  EXPECT_EQ(cryptoMessage([&] { SecretEnvelope::decrypt(sealed, keys); }),
            "plaintext is not UTF-8");
  // Sealing refuses what could never be opened.
  EXPECT_EQ(cryptoMessage([&] { SecretEnvelope::encrypt("\xc3", recipient); }),
            "plaintext is not UTF-8");
}

TEST_F(SecretEnvelopeTest, SealingToAnInvalidKeyPassesTheLibraryError) {
  EXPECT_THROW(SecretEnvelope::encrypt("s", recipient.substr(0, 33)), crypto::CryptoError);
  EXPECT_THROW(SecretEnvelope::encrypt("s", ""), crypto::CryptoError);
}

TEST(SecretEnvelopeScanTest, FindsTheLeftmostMatchWithAGreedyPayload) {
  const std::string id = "0123456789abcdef";
  struct Case {
    std::string text;
    std::optional<std::pair<std::size_t, std::size_t>> match;
  };
  const std::string env = "TAVRA-ENC:v1:" + id + ":abc-_XYZ09";
  const std::vector<Case> cases = {
      {env, {{0, env.size()}}},
      {"Bearer " + env + " tail", {{7, env.size()}}},
      {env + "." + env, {{0, env.size()}}},
      {"TAVRA-ENC:v1:" + id + ":", std::nullopt},
      {"TAVRA-ENC:v1:" + id + ":+", std::nullopt},
      {"TAVRA-ENC:v1:0123456789ABCDEF:abc", std::nullopt},
      {"TAVRA-ENC:v1:0123456789abcde:abc", std::nullopt},
      {"TAVRA-ENC:v1:0123456789abcdef0:abc", std::nullopt},
      {"TAVRA-ENC:v1:TAVRA-ENC:v1:" + id + ":p", {{13, 31}}},
      {"TAVRA-ENC:v1:" + id + "x " + env, {{31, env.size()}}},
      {"TAVRA-ENC:v1:" + id + ":a=b", {{0, 31}}},
      {"", std::nullopt},
      {"TAVRA-ENC:v1", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto match = SecretEnvelope::findEmbedded(c.text);
    ASSERT_EQ(match.has_value(), c.match.has_value()) << c.text;
    if (match) {
      EXPECT_EQ(match->offset, c.match->first) << c.text;
      EXPECT_EQ(match->length, c.match->second) << c.text;
    }
  }
  // A payload of ten million characters is scanned without recursion.
  const std::string huge = "x TAVRA-ENC:v1:" + id + ":" + std::string(10'000'000, 'A') + " y";
  const auto match = SecretEnvelope::findEmbedded(huge);
  ASSERT_TRUE(match);
  EXPECT_EQ(match->length, 30u + 10'000'000u);
}

TEST_F(SecretEnvelopeTest, DecryptAllRebuildsStringsAroundEnvelopes) {
  const std::string a = SecretEnvelope::encrypt("alpha", recipient);
  const std::string b = SecretEnvelope::encrypt("TAVRA-ENC:v1:not rescanned", recipient);
  struct Case {
    std::string input, output;
  };
  const std::vector<Case> cases = {
      {"Bearer " + a, "Bearer alpha"},
      {a + "," + a + " and " + b, "alpha,alpha and TAVRA-ENC:v1:not rescanned"},
      {"tavra-enc:v1:lowercase", "tavra-enc:v1:lowercase"},
      {"no envelope here", "no envelope here"},
      {"TAVRA-ENC:v1:garbage " + a, "TAVRA-ENC:v1:garbage alpha"},  // before a good one: kept
      {a + ".", "alpha."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SecretEnvelope::decryptAll(Value(c.input), keys), Value(c.output)) << c.input;
  }
}

TEST_F(SecretEnvelopeTest, DecryptAllRefusesAPrefixThatIsNotAWellFormedEnvelope) {
  const std::string a = SecretEnvelope::encrypt("alpha", recipient);
  std::string upper = a;
  for (std::size_t i = 13; i < 29; ++i) upper[i] = static_cast<char>(std::toupper(upper[i]));
  const std::vector<std::string> inputs = {
      "TAVRA-ENC:v1:",
      a + " TAVRA-ENC:v1:broken",
      "x TAVRA-ENC:v1:" + std::string(16, 'a'),
      "TAVRA-ENC:v1:0123456789abcdef:",
  };
  for (const auto& input : inputs) {
    EXPECT_EQ(cryptoMessage([&] { SecretEnvelope::decryptAll(Value(input), keys); }),
              "malformed envelope")
        << input;
  }
  if (upper != a) {
    EXPECT_EQ(cryptoMessage([&] { SecretEnvelope::decryptAll(Value(upper), keys); }),
              "malformed envelope");
    // Alone, decrypt tries to open it and fails on the key id instead.
    EXPECT_NE(cryptoMessage([&] { SecretEnvelope::decrypt(upper, keys); }), "malformed envelope");
  }
}

TEST_F(SecretEnvelopeTest, DecryptAllWalksArraysAndObjectValuesButNotKeys) {
  const std::string a = SecretEnvelope::encrypt("alpha", recipient);
  const Value input(Value::Object{
      {a, Value(a)},
      {"list", Value(Value::Array{Value(1), Value(a), Value(Value::Array{Value(true)})})},
      {"n", Value(2.5)},
  });
  const Value expected(Value::Object{
      {a, Value("alpha")},
      {"list", Value(Value::Array{Value(1), Value("alpha"), Value(Value::Array{Value(true)})})},
      {"n", Value(2.5)},
  });
  EXPECT_EQ(SecretEnvelope::decryptAll(input, keys), expected);
  // The first failure aborts the whole call.
  const Value bad(Value::Array{Value(a), Value("TAVRA-ENC:v1:bad")});
  EXPECT_EQ(cryptoMessage([&] { SecretEnvelope::decryptAll(bad, keys); }), "malformed envelope");
}

TEST(SecretEnvelopeDetectTest, IsEnvelopeAndContainsEnvelope) {
  EXPECT_TRUE(SecretEnvelope::isEnvelope("value TAVRA-ENC:v1: and nothing valid"));
  EXPECT_FALSE(SecretEnvelope::isEnvelope("TAVRA-ENC:v2:"));
  EXPECT_FALSE(SecretEnvelope::isEnvelope(""));
  const Value deep(Value::Array{Value(Value::Object{
      {"a", Value(Value::Array{Value(Value::Object{{"b", Value("x TAVRA-ENC:v1:")}})})}})});
  EXPECT_TRUE(SecretEnvelope::containsEnvelope(deep));
  EXPECT_FALSE(SecretEnvelope::containsEnvelope(Value(Value::Object{{"TAVRA-ENC:v1:", Value(1)}})));
  EXPECT_FALSE(SecretEnvelope::containsEnvelope(Value(3)));
  EXPECT_FALSE(SecretEnvelope::containsEnvelope(Value(Value::Array{})));
}

}  // namespace
}  // namespace tavra
