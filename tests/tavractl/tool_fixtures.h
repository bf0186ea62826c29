// Inputs for driving the tool's commands: a catalog with a harness of every status, fragment
// files, organisation keys and certificates made by the openssl command, and a catalog cache in a
// scratch folder.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "support/crypto_fixtures.h"
#include "support/services.h"
#include "support/temp_tree.h"
#include "tavra/base64.h"
#include "tavra/catalog_store.h"
#include "tavra/constants.h"

namespace tavra::test {

// Three harnesses in this order: alpha (supported; outputs settings as JSON and extra as TOML),
// beta (experimental; config as a property list) and gamma (planned; config as JSON).
inline std::string toolCatalogJSON(std::string_view version = "3.1") {
  return R"({"schemaVersion":2,"catalogVersion":")" + std::string(version) + R"(","harnesses":[
  {"id":"alpha","displayName":"Alpha Code","vendor":"Example","status":"supported","outputs":[
    {"id":"settings","path":"/etc/alpha/settings.json","format":"json",
     "mergeRules":[{"path":"permissions.deny","strategy":"union"}]},
    {"id":"extra","path":"/etc/alpha/extra.toml","format":"toml"}]},
  {"id":"beta","displayName":"Beta Desktop","vendor":"Example","status":"experimental","outputs":[
    {"id":"config","path":"/Library/Preferences/com.example.beta.plist","format":"plist"}]},
  {"id":"gamma","displayName":"Gamma CLI","vendor":"Example","status":"planned","outputs":[
    {"id":"config","path":"/etc/gamma/config.json","format":"json"}]}]})";
}

// A JSON fragment file's content: PolicyID `id`, `priority`, and `harnesses` (JSON text of
// harness id -> output id -> settings).
inline std::string fragmentJSON(const std::string& id, int priority, const std::string& harnesses) {
  return R"({"PolicyID":")" + id + R"(","Priority":)" + std::to_string(priority) +
         R"(,"Harnesses":)" + harnesses + "}";
}

// An organisation key pair and self-signed certificate, made by the openssl command.
struct OrganisationKey {
  explicit OrganisationKey(const TempTree& tree, const std::string& name = "org",
                           const std::string& curve = "P-256")
      : keyFile(makeKey(tree, name + ".key.pem",
                        {"-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:" + curve})),
        certificate(makeCertificate(tree, name + ".cert.pem", keyFile)) {}
  std::string keyFile;
  std::string certificate;  // PEM
};

// The daemon's catalog cache, in a scratch folder: each store the command asks for trusts the
// keys it names, with the built-in keys replaced by `builtInStandIn`, as if the program were
// built with that key. Records every key list asked for.
struct FakeCatalogCache {
  CatalogStore store(const std::vector<std::string>& trustedKeys) {
    requests.push_back(trustedKeys);
    std::vector<std::string> keys;
    for (const std::string& key : trustedKeys) {
      const auto& builtIn = Constants::embeddedCatalogKeys();
      const bool isBuiltIn = std::find(builtIn.begin(), builtIn.end(), key) != builtIn.end();
      keys.push_back(isBuiltIn ? builtInStandIn : key);
    }
    return CatalogStore(directory, keys, test::files(), transport);
  }

  std::string directory;
  std::string builtInStandIn;
  CatalogStore::Transport transport;
  std::vector<std::vector<std::string>> requests;
};

}  // namespace tavra::test
