// `catalog sign`: the signature of the exact catalog bytes, checked by the openssl command; a
// catalog the daemon would refuse is not signed and its key file not read; the signature file is
// replaced whole, never written through a link.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fake_context.h"
#include "support/temp_tree.h"
#include "tavra/base64.h"
#include "tavra/constants.h"
#include "tool_fixtures.h"
#include "tool_process.h"

namespace tavra::test {
namespace {

// An Ed25519 key made by the openssl command: the tool's key file (base64 of the raw private
// key) and the public key as PEM for openssl's own check.
struct OpenSSLCatalogKey {
  explicit OpenSSLCatalogKey(const TempTree& tree) {
    const std::string pem = makeKey(tree, "signing.pem", {"-algorithm", "ED25519"});
    const std::string der = openssl({"pkey", "-in", pem, "-outform", "DER"});
    keyFile = tree.write("signing.key", base64::encode(der.substr(der.size() - 32)) + "\n", 0600);
    publicPEM = tree.path("signing.pub.pem");
    openssl({"pkey", "-in", pem, "-pubout", "-out", publicPEM});
  }
  std::string keyFile;
  std::string publicPEM;
};

std::vector<std::string> entries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* directory = opendir(folder.c_str());
  if (directory == nullptr) return names;
  while (const dirent* entry = readdir(directory)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(directory);
  std::sort(names.begin(), names.end());
  return names;
}

class CatalogSignTest : public ::testing::Test {
 protected:
  ToolResult sign(const std::string& catalog, const std::string& key) {
    return fake.run({"catalog", "sign", catalog, "--key", key});
  }
  // Whether openssl finds the signature file valid for the catalog file.
  bool opensslVerifies(const std::string& catalog, const std::string& signatureFile) {
    std::string text = readFile(signatureFile);
    if (text.ends_with("\n")) text.pop_back();
    const std::optional<std::string> signature = base64::decode(text);
    if (!signature) return false;
    const std::string raw = tree.write("signature.bin", *signature);
    return runProcess({"openssl", "pkeyutl", "-verify", "-pubin", "-inkey", key.publicPEM, "-rawin",
                       "-in", catalog, "-sigfile", raw})
               .status == 0;
  }

  TempTree tree;
  FakeContext fake;
  OpenSSLCatalogKey key{tree};
  std::string folder = tree.mkdir("release");
  std::string catalog = tree.write("release/catalog.json", toolCatalogJSON());
};

TEST_F(CatalogSignTest, TheProgramsSignatureVerifiesWithOpenSSL) {
  const ProcessResult result = runTavractl({"catalog", "sign", catalog, "--key", key.keyFile});
  ASSERT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(result.output, "wrote " + catalog + ".sig\n");
  const std::string signature = readFile(catalog + ".sig");
  ASSERT_TRUE(signature.ends_with("\n"));
  EXPECT_EQ(signature.find('\n'), signature.size() - 1) << "one line";
  EXPECT_EQ(base64::decode(signature.substr(0, signature.size() - 1)).value_or("").size(), 64u);
  EXPECT_TRUE(opensslVerifies(catalog, catalog + ".sig"));

  // The signature covers the exact bytes: one more blank and openssl refuses it.
  const std::string changed = tree.write("changed.json", toolCatalogJSON() + " ");
  EXPECT_FALSE(opensslVerifies(changed, catalog + ".sig"));
}

TEST_F(CatalogSignTest, TheSignatureFileIsReplacedWholeAndNothingElseIsLeft) {
  tree.write("release/catalog.json.sig", std::string(4096, 'x'));
  const ToolResult result = sign(catalog, key.keyFile);
  ASSERT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(readFile(catalog + ".sig").size(), 89u);
  EXPECT_TRUE(opensslVerifies(catalog, catalog + ".sig"));
  EXPECT_EQ(entries(folder), (std::vector<std::string>{"catalog.json", "catalog.json.sig"}));

  // A relative path signs beside it, as given.
  ASSERT_EQ(chdir(folder.c_str()), 0);
  EXPECT_EQ(sign("catalog.json", key.keyFile).output, "wrote catalog.json.sig\n");
  EXPECT_TRUE(opensslVerifies(catalog, catalog + ".sig"));
}

// The signature file is the tool's own: mode 0644 whatever the umask, and never written through a
// link or a second name at its path.
TEST_F(CatalogSignTest, TheSignatureFileIs0644AndNeverWrittenThroughALink) {
  const mode_t previous = umask(077);
  const ToolResult result = sign(catalog, key.keyFile);
  umask(previous);
  ASSERT_EQ(result.status, 0) << result.errors;
  struct stat info {};
  ASSERT_EQ(lstat((catalog + ".sig").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);

  const std::string victim = tree.write("victim", "victim\n", 0600);
  for (const auto& [make, reason] :
       std::vector<std::pair<int (*)(const char*, const char*), std::string>>{
           {&symlink, "it is a symbolic link"}, {&link, "it has 2 links"}}) {
    ASSERT_EQ(unlink((catalog + ".sig").c_str()), 0);
    ASSERT_EQ(make(victim.c_str(), (catalog + ".sig").c_str()), 0);
    const ToolResult refused = sign(catalog, key.keyFile);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.output, "");
    EXPECT_EQ(refused.errors, "Error: cannot write " + catalog + ".sig: " + reason + "\n");
    EXPECT_EQ(readFile(victim), "victim\n");
  }
}

TEST_F(CatalogSignTest, AnUnwritableSignatureFileLeavesNoTrace) {
  tree.mkdir("release/catalog.json.sig");
  const ToolResult result = sign(catalog, key.keyFile);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.errors, "Error: cannot write " + catalog + ".sig: Is a directory\n");
  EXPECT_EQ(entries(folder), (std::vector<std::string>{"catalog.json", "catalog.json.sig"}));
}

TEST_F(CatalogSignTest, ACatalogTheDaemonWouldRefuseIsNotSignedAndItsKeyNotRead) {
  const std::string unreadKey = tree.path("not-read.key");
  const std::string newer =
      tree.write("newer.json", R"({"schemaVersion":3,"catalogVersion":"1","harnesses":[]})");
  const std::string duplicate =
      tree.write("duplicate.json", R"({"schemaVersion":2,"catalogVersion":"1",
    "harnesses":[{"id":"a","displayName":"A","vendor":"V","status":"supported","outputs":[]},
                 {"id":"a","displayName":"A","vendor":"V","status":"supported","outputs":[]}]})");
  for (const std::string& bad : {newer, duplicate}) {
    const ToolResult result = sign(bad, unreadKey);
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(result.errors.starts_with("Error: catalog: ")) << result.errors;
    EXPECT_FALSE(exists(bad + ".sig"));
  }
  for (const std::string& bad :
       {tree.write("empty.json", ""), tree.write("binary.json", std::string("\x00\xFF\x01", 3))}) {
    const ToolResult result = sign(bad, unreadKey);
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(result.errors.starts_with("Error: ")) << result.errors;
    EXPECT_EQ(result.errors.find("not-read.key"), std::string::npos) << result.errors;
    EXPECT_FALSE(exists(bad + ".sig"));
  }
  const std::string missing = tree.path("missing.json");
  const std::string huge = tree.write("huge.json", "");
  ASSERT_EQ(truncate(huge.c_str(), Constants::maxInputFileBytes + 1), 0);
  EXPECT_EQ(sign(missing, unreadKey).errors,
            "Error: cannot read " + missing + ": No such file or directory\n");
  EXPECT_EQ(sign(huge, unreadKey).errors, "Error: cannot read " + huge + ": larger than 64 MiB\n");
}

TEST_F(CatalogSignTest, KeyFilesThatAreNotABase64Ed25519Key) {
  const std::string missing = tree.path("missing.key");
  const std::string huge = tree.write("huge.key", "");
  ASSERT_EQ(truncate(huge.c_str(), Constants::maxInputFileBytes + 1), 0);
  const std::string pem =
      makeKey(tree, "p256.pem", {"-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"});
  for (const auto& [file, message] : std::vector<std::pair<std::string, std::string>>{
           {missing, "cannot read " + missing + ": No such file or directory"},
           {tree.mkdir("folder.key"),
            "cannot read " + tree.path("folder.key") + ": Is a directory"},
           {huge, "cannot read " + huge + ": larger than 64 MiB"},
           {tree.write("binary.key", std::string("\x00\xFF\x10", 3)),
            "signature: private key is not base64"},
           {pem, "signature: private key is not base64"},
           {tree.write("short.key", base64::encode(std::string(16, 'k'))),
            "invalid Ed25519 private key: 16 bytes, expected 32"},
           {tree.write("empty.key", ""), "invalid Ed25519 private key: 0 bytes, expected 32"}}) {
    SCOPED_TRACE(file);
    const ToolResult result = sign(catalog, file);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors, "Error: " + message + "\n");
    EXPECT_FALSE(exists(catalog + ".sig"));
  }
}

}  // namespace
}  // namespace tavra::test
