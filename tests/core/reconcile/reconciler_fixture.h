// The reconciler's whole-pass fixture: a signed catalog of four harnesses in a scratch support
// folder's catalog cache, fragment plists in a managed-preferences folder, outputs below out/
// (and one harness writing into the managed-preferences folder itself).
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "support/catalog_fixtures.h"
#include "support/scratch_environment.h"
#include "support/services.h"
#include "support/temp_tree.h"
#include "tavra/base64.h"
#include "tavra/json.h"
#include "tavra/platform/crypto.h"
#include "tavra/plist.h"
#include "tavra/reconciler.h"
#include "tavra/secret_envelope.h"

namespace tavra {

inline void PrintTo(const StatusReport& report, std::ostream* os) {
  *os << report.encode();
}

namespace test {
using Action = FileApplier::Action;
using Health = StatusReport::Health;
using State = StatusReport::HarnessState;

class ReconcilerTest : public ::testing::Test {
 protected:
  TempTree tree;
  std::string prefs = tree.mkdir("prefs");
  std::string out = tree.mkdir("out");
  std::string support = tree.path("support");
  crypto::Ed25519PrivateKey signingKey = crypto::Ed25519PrivateKey::generate();
  crypto::P256PrivateKey envelopeKey = crypto::P256PrivateKey::generate();
  std::shared_ptr<MemoryLogger> logger =
      std::make_shared<MemoryLogger>("com.zelkorandin.tavra", "reconcile");
  int flushes = 0;
  bool withFlush = true;
  std::optional<Discovery> discovery;

  std::string alphaSettings = out + "/alpha/settings.json";
  std::string alphaExtra = out + "/alpha/extra.toml";
  std::string betaConfig = out + "/beta/config.plist";
  std::string deltaOne = prefs + "/com.example.delta.plist";
  std::string deltaTwo = prefs + "/com.example.delta2.plist";

  Catalog catalog() const {
    Output settings = output("settings", alphaSettings, Output::Format::json);
    settings.mode = "0600";
    settings.forbiddenKeys = std::vector<std::string>{"apiKeyHelper"};
    Harness alpha = harness("alpha", {settings, output("extra", alphaExtra, Output::Format::toml)});
    alpha.conflictingPreferenceDomains = std::vector<std::string>{"com.example.alpha"};
    alpha.detect = Detection{};
    return Catalog{2,
                   "1.0",
                   {alpha, harness("beta", {output("config", betaConfig, Output::Format::plist)}),
                    harness("gamma", {output("main", out + "/gamma.json", Output::Format::json)},
                            Harness::Status::planned),
                    harness("delta", {output("one", deltaOne, Output::Format::plist),
                                      output("two", deltaTwo, Output::Format::plist)})}};
  }

  std::string publicKeyBase64() const { return base64::encode(signingKey.publicKey().raw()); }
  CatalogStore store() const {
    return CatalogStore(support + "/catalog", {publicKeyBase64()}, test::files());
  }

  void installCatalog(const Catalog& c) const {
    std::string bytes = c.encode();
    store().install(bytes, base64::encode(signingKey.sign(bytes)));
  }

  void writeFragment(const std::string& name, std::int64_t priority, Value harnesses) const {
    Value payload(Value::Object{
        {"PolicyID", name}, {"Priority", priority}, {"Harnesses", std::move(harnesses)}});
    tree.write("prefs/com.zelkorandin.tavra.policy." + name + ".plist", plist::writeXML(payload));
  }
  void removeFragment(const std::string& name) const {
    std::filesystem::remove(prefs + "/com.zelkorandin.tavra.policy." + name + ".plist");
  }

  Environment environment() {
    Environment e = test::scratchEnvironment(
        {.folder = tree.root(),
         .trustedKey = publicKeyBase64(),
         .builtInPathPrefixes = {out + "/", prefs + "/"},
         .keys = std::make_shared<InMemoryKeyProvider>(std::vector{envelopeKey})});
    e.discovery = discovery;
    e.services.reconcileLog = logger;
    if (withFlush) e.flushPreferencesCache = [this] { ++flushes; };
    return e;
  }

  StatusReport run(TavraSettings settings = {}, bool includeInventory = false) {
    logger->clear();
    return Reconciler(environment(), std::move(settings)).run(includeInventory);
  }

  const StatusReport::HarnessStatus& status(const StatusReport& report, std::string_view id) {
    for (const auto& h : report.harnesses) {
      if (h.id == id) return h;
    }
    throw std::runtime_error("no harness " + std::string(id));
  }

  static std::vector<std::pair<std::string, Action>> actions(const StatusReport& report) {
    std::vector<std::pair<std::string, Action>> list;
    for (const auto& change : report.changes) list.emplace_back(change.path, change.action);
    return list;
  }

  Value alphaValue(Value settings) const {
    return Value::Object{{"alpha", Value::Object{{"settings", std::move(settings)}}}};
  }

  // A fragment value that names both harnesses, each with one output.
  static Value bothHarnesses() {
    return Value::Object{{"alpha", Value::Object{{"settings", Value::Object{{"v", 1}}}}},
                         {"beta", Value::Object{{"config", Value::Object{{"v", 1}}}}}};
  }
};

}  // namespace test
}  // namespace tavra
