#include "tavra/catalog_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "support/catalog_fixtures.h"
#include "support/crypto_fixtures.h"
#include "support/faulty_file_system.h"
#include "support/services.h"
#include "support/tavra_error.h"
#include "support/temp_tree.h"
#include "tavra/base64.h"
#include "tavra/constants.h"
#include "tavra/error.h"

namespace tavra {
namespace {

using test::catalogJSON;

std::string signatureMessage(const std::function<void()>& call) {
  return test::tavraErrorMessage(TavraError::Case::signature, call);
}

class CatalogStoreTest : public ::testing::Test {
 protected:
  test::TempTree tree;
  test::CatalogSigningKey signer;
  std::string directory = tree.path("support/catalog");
  CatalogStore store{directory, {signer.publicBase64()}, test::files()};
};

TEST_F(CatalogStoreTest, UnusableTrustedKeysAreSkipped) {
  const test::CatalogSigningKey other;
  const CatalogStore mixed(
      directory,
      {"", "not base64!", base64::encode(std::string(31, 'k')), signer.publicBase64(),
       signer.publicBase64() + "\n", " " + other.publicBase64(), other.publicBase64()},
      test::files());
  ASSERT_EQ(mixed.trustedKeys().size(), 2u);
  EXPECT_EQ(mixed.trustedKeys()[0].raw(), signer.key.publicKey().raw());
  EXPECT_EQ(mixed.trustedKeys()[1].raw(), other.key.publicKey().raw());
  EXPECT_TRUE(CatalogStore(directory, {}, test::files()).trustedKeys().empty());
}

// Every encoding of a point of small order: the eight points of order 1, 2, 4 and 8, each with
// either sign bit, and the non-canonical y = p and y = p + 1 of the points with y = 0 and y = 1.
constexpr std::string_view smallOrderKeys[] = {
    "0000000000000000000000000000000000000000000000000000000000000000",
    "0000000000000000000000000000000000000000000000000000000000000080",
    "0100000000000000000000000000000000000000000000000000000000000000",
    "0100000000000000000000000000000000000000000000000000000000000080",
    "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
    "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85",
    "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
    "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa",
    "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
    "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
    "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
};

TEST_F(CatalogStoreTest, KeysOfSmallOrderAreNotTrusted) {
  // With such a key, the signature whose R is the neutral point and whose S is 0 is valid for a
  // good share of all messages (for the neutral point itself: for every message).
  std::string forged(64, '\0');
  forged[0] = '\x01';
  const std::string forgedText = base64::encode(forged);
  std::vector<std::string> keys;
  for (const std::string_view hex : smallOrderKeys) {
    SCOPED_TRACE(hex);
    const std::string raw = test::fromHex(hex);
    keys.push_back(base64::encode(raw));
    const CatalogStore weak(directory, {keys.back()}, test::files());
    EXPECT_TRUE(weak.trustedKeys().empty());
    // Catalogs the forgery fits, as the cryptography library alone would judge them.
    const auto bare = crypto::Ed25519PublicKey::fromRaw(raw);
    int fitting = 0;
    for (int version = 1; version <= 64; ++version) {
      const std::string catalog = catalogJSON(std::to_string(version));
      if (!bare.isValidSignature(forged, catalog)) continue;
      ++fitting;
      EXPECT_EQ(signatureMessage([&] { weak.verify(catalog, forgedText); }),
                "catalog signature does not match any trusted key");
    }
    EXPECT_GT(fitting, 0);
  }
  // The neutral point as an administrator would paste it.
  ASSERT_EQ(keys[2], "AQAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=");
  const std::string catalog = catalogJSON("3");
  EXPECT_EQ(signatureMessage([&] {
              CatalogStore(directory, {keys[2]}, test::files()).verify(catalog, forgedText);
            }),
            "catalog signature does not match any trusted key");
  // Beside them, an ordinary key is kept and still verifies.
  keys.push_back(signer.publicBase64());
  const CatalogStore mixed(directory, keys, test::files());
  ASSERT_EQ(mixed.trustedKeys().size(), 1u);
  EXPECT_EQ(mixed.trustedKeys()[0].raw(), signer.key.publicKey().raw());
  EXPECT_EQ(mixed.verify(catalog, signer.signatureFile(catalog)).catalogVersion, "3");
  EXPECT_EQ(signatureMessage([&] { mixed.verify(catalog, forgedText); }),
            "catalog signature does not match any trusted key");
}

TEST_F(CatalogStoreTest, TheBuiltInReleaseKeyIsAUsableKey) {
  const CatalogStore builtIn(directory, Constants::embeddedCatalogKeys(), test::files());
  EXPECT_EQ(builtIn.trustedKeys().size(), Constants::embeddedCatalogKeys().size());
  EXPECT_FALSE(builtIn.trustedKeys().empty());
}

TEST_F(CatalogStoreTest, VerifyAcceptsBlanksAroundTheSignatureText) {
  const std::string catalog = catalogJSON("1.2.3");
  const std::string text = base64::encode(signer.key.sign(catalog));
  for (const std::string& signature : {text, text + "\n", "  " + text + " \r\n", "\t" + text,
                                       "\xc2\xa0" + text + "\xe2\x80\xa8"}) {
    EXPECT_EQ(store.verify(catalog, signature).catalogVersion, "1.2.3") << signature;
  }
}

TEST_F(CatalogStoreTest, VerifyFailures) {
  const std::string catalog = catalogJSON("1");
  const std::string text = base64::encode(signer.key.sign(catalog));
  const test::CatalogSigningKey stranger;
  struct Case {
    std::string catalog, signature, message;
  };
  const std::vector<Case> cases = {
      {catalog, text.substr(0, 40) + "\n" + text.substr(40), "signature is not base64"},
      {catalog, text.substr(1), "signature is not base64"},
      {catalog, "", "catalog signature does not match any trusted key"},
      {catalog, base64::encode("short"), "catalog signature does not match any trusted key"},
      {catalog, base64::encode(stranger.key.sign(catalog)),
       "catalog signature does not match any trusted key"},
      {catalog + " ", text, "catalog signature does not match any trusted key"},
      {catalog, "\xff" + text, "signature is not base64"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(signatureMessage([&] { store.verify(c.catalog, c.signature); }), c.message)
        << c.signature;
  }
  EXPECT_EQ(
      signatureMessage([&] { CatalogStore(directory, {}, test::files()).verify(catalog, text); }),
      "catalog signature does not match any trusted key");
}

TEST_F(CatalogStoreTest, TheFirstAcceptingKeyWinsAndDecodingErrorsPassThrough) {
  const test::CatalogSigningKey second;
  const CatalogStore two(directory, {signer.publicBase64(), second.publicBase64()}, test::files());
  const std::string catalog = catalogJSON("7");
  EXPECT_EQ(two.verify(catalog, second.signatureFile(catalog)).catalogVersion, "7");
  const std::string notACatalog = R"({"schemaVersion":3,"catalogVersion":"1","harnesses":[]})";
  EXPECT_THROW(two.verify(notACatalog, second.signatureFile(notACatalog)), TavraError);
  const std::string notJSON = "{";
  EXPECT_THROW(two.verify(notJSON, signer.signatureFile(notJSON)), Catalog::DecodeError);
}

TEST_F(CatalogStoreTest, InstallThenCachedReadsAndVerifiesAgain) {
  EXPECT_FALSE(store.cached());
  const std::string catalog = catalogJSON("2.0");
  const std::string signature = signer.signatureFile(catalog);
  store.install(catalog, signature);
  EXPECT_EQ(test::readFile(directory + "/catalog.json"), catalog);
  EXPECT_EQ(test::readFile(directory + "/catalog.json.sig"), signature);  // not re-encoded
  struct stat info {};
  ASSERT_EQ(::stat(directory.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
  ASSERT_EQ(::stat(tree.path("support").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
  // Only the two files are left behind: no temporary files.
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) {
    ++entries;
  }
  EXPECT_EQ(entries, 2u);
  const auto cached = store.cached();
  ASSERT_TRUE(cached);
  EXPECT_EQ(cached->catalogVersion, "2.0");

  // A cache changed by one byte after signing is an error, not an absent catalog.
  tree.write("support/catalog/catalog.json", catalogJSON("2.1"));
  EXPECT_EQ(signatureMessage([&] { store.cached(); }),
            "catalog signature does not match any trusted key");
}

TEST(CatalogStoreSignatureTest, TheSignatureSitsBesideTheCatalogUnderItsNameWithSig) {
  EXPECT_EQ(CatalogStore::signaturePath("/srv/catalog.json"), "/srv/catalog.json.sig");
  EXPECT_EQ(CatalogStore::signaturePath("vendor catalog"), "vendor catalog.sig");
}

// Under an open file-creation mask the cache still belongs to the one installing it: a file
// others could write would let any user put back an older catalog that verifies all the same.
TEST_F(CatalogStoreTest, InstalledFilesAreClosedToOthersWhateverTheMask) {
  const std::string older = catalogJSON("1.0");
  const mode_t previous = ::umask(0);
  store.install(older, signer.signatureFile(older));
  const std::string catalog = catalogJSON("2.0");
  store.install(catalog, signer.signatureFile(catalog));
  ::umask(previous);
  for (const std::string name : {"catalog.json", "catalog.json.sig"}) {
    struct stat info {};
    ASSERT_EQ(::stat((directory + "/" + name).c_str(), &info), 0) << name;
    EXPECT_EQ(info.st_mode & 07777, 0644u) << name;
  }
  struct stat info {};
  ASSERT_EQ(::stat(directory.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
}

TEST_F(CatalogStoreTest, CachedIsAbsentWhenEitherFileCannotBeRead) {
  tree.write("support/catalog/catalog.json", catalogJSON("1"));
  EXPECT_FALSE(store.cached());
  std::filesystem::remove(directory + "/catalog.json");
  tree.write("support/catalog/catalog.json.sig", "c2ln\n");
  EXPECT_FALSE(store.cached());
  tree.mkdir("support/catalog/catalog.json");
  EXPECT_FALSE(store.cached());
}

TEST_F(CatalogStoreTest, InstallWritesNothingForACatalogThatDoesNotVerify) {
  const std::string catalog = catalogJSON("1");
  EXPECT_THROW(store.install(catalog, "bad signature"), TavraError);
  EXPECT_FALSE(std::filesystem::exists(directory));
  const test::CatalogSigningKey stranger;
  EXPECT_THROW(store.install(catalog, stranger.signatureFile(catalog)), TavraError);
  EXPECT_FALSE(std::filesystem::exists(directory));
}

TEST_F(CatalogStoreTest, InstallDoesNotCompareVersionsAndFailsOnABlockedDirectory) {
  store.install(catalogJSON("3.0"), signer.signatureFile(catalogJSON("3.0")));
  store.install(catalogJSON("1.0"), signer.signatureFile(catalogJSON("1.0")));
  EXPECT_EQ(store.cached()->catalogVersion, "1.0");

  tree.write("blocked", "a file where a directory belongs");
  const CatalogStore blocked(tree.path("blocked/catalog"), {signer.publicBase64()}, test::files());
  EXPECT_THROW(blocked.install(catalogJSON("1"), signer.signatureFile(catalogJSON("1"))),
               std::system_error);
}

// Installing over a cached catalog on a failing disk: whichever call fails, or wherever the
// process crashes and loses what was not synced, each of the two files holds its old or its new
// bytes, and no temporary file is left (after a crash one may be: it is never read).
TEST_F(CatalogStoreTest, EveryFailurePointOfAnInstallLeavesOldOrNewFiles) {
  using Call = test::FaultyFileSystem::Call;
  using Fault = test::FaultyFileSystem::Fault;
  const std::string oldCatalog = catalogJSON("1.0"), newCatalog = catalogJSON("2.0");
  const std::string oldSignature = signer.signatureFile(oldCatalog);
  const std::string newSignature = signer.signatureFile(newCatalog);
  const auto files = std::make_shared<test::FaultyFileSystem>(test::files());
  const CatalogStore onFaults(directory, {signer.publicBase64()}, files);
  const auto install = [&] {
    store.install(oldCatalog, oldSignature);
    try {
      onFaults.install(newCatalog, newSignature);
    } catch (const std::exception&) {
    }
  };
  files->disarm();
  install();
  const std::size_t points = files->calls(Call::any);
  ASSERT_GT(points, 0u);
  for (const Fault fault : {Fault::ioError, Fault::noSpace, Fault::crash}) {
    for (std::size_t n = 1; n <= points; ++n) {
      SCOPED_TRACE("fault " + std::to_string(int(fault)) + " at call " + std::to_string(n));
      files->arm(Call::any, n, fault);
      install();
      ASSERT_TRUE(files->fired());
      if (fault == Fault::crash) files->dropUnsyncedData();
      const std::string catalog = test::readFile(directory + "/catalog.json");
      const std::string signature = test::readFile(directory + "/catalog.json.sig");
      EXPECT_TRUE(catalog == oldCatalog || catalog == newCatalog) << catalog;
      EXPECT_TRUE(signature == oldSignature || signature == newSignature) << signature;
      if (fault != Fault::crash) {
        EXPECT_EQ(test::temporaryFiles(directory), std::vector<std::string>{});
      }
    }
  }
}

}  // namespace
}  // namespace tavra
