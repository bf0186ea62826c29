// Whole passes that keep harnesses on their last applied files: frozen harnesses, an unreadable
// fragment or catalog, what a pass left, and a harness no longer named.
#include "core/reconcile/reconciler_fixture.h"

namespace tavra::test {
namespace {

TEST_F(ReconcilerTest, AHarnessThatCannotBeDecryptedIsFrozenOnItsLastAppliedFiles) {
  installCatalog(catalog());
  std::string sealed = SecretEnvelope::encrypt("s3cret", envelopeKey.publicKey().x963());
  writeFragment(
      "base", 0,
      Value::Object{{"alpha", Value::Object{{"settings", Value::Object{{"token", sealed}}}}},
                    {"beta", Value::Object{{"config", Value::Object{{"v", 1}}}}}});
  ASSERT_EQ(run().health, Health::ok);
  EXPECT_EQ(Value::parseJSON(readFile(alphaSettings)), Value(Value::Object{{"token", "s3cret"}}));
  std::string applied = readFile(alphaSettings);

  // Now alpha's second output carries an envelope for a key this machine lacks, and beta is no
  // longer named.
  std::string foreign =
      SecretEnvelope::encrypt("x", crypto::P256PrivateKey::generate().publicKey().x963());
  writeFragment("base", 0,
                Value::Object{{"alpha", Value::Object{{"settings", Value::Object{{"token", "new"}}},
                                                      {"extra", Value::Object{{"t", foreign}}}}}});
  tree.write("out/alpha/settings.json", "{\"tampered\":true}");

  StatusReport report = run();
  const auto& alpha = status(report, "alpha");
  EXPECT_EQ(alpha.state, State::degraded);
  ASSERT_EQ(alpha.errors.size(), 1u);
  EXPECT_EQ(alpha.errors[0].rfind("crypto: ", 0), 0u) << alpha.errors[0];
  EXPECT_EQ(alpha.outputs, std::vector<std::string>{alphaSettings});
  EXPECT_EQ(report.health, Health::degraded);
  EXPECT_TRUE(report.errors.empty());
  // The frozen harness's file is written back from its applied copy; the complete plan still
  // releases beta.
  EXPECT_EQ(actions(report),
            (std::vector<std::pair<std::string, Action>>{{alphaSettings, Action::driftCorrected},
                                                         {betaConfig, Action::removed}}));
  EXPECT_EQ(readFile(alphaSettings), applied);
  EXPECT_FALSE(exists(alphaExtra));
  EXPECT_FALSE(exists(betaConfig));
}

// A frozen harness's last applied file that another, healthy harness now plans afresh: the fresh
// bytes are written once and stay; the stale copy does not overwrite them in the same pass, nor
// again in every later pass.
TEST_F(ReconcilerTest, FreshBytesWinOverAFrozenHarnessesCopyOfTheSameFile) {
  Catalog c = catalog();
  Output heirs = output("settings", alphaSettings, Output::Format::json);
  heirs.mode = "0600";  // as alpha's, so the new bytes are all that changes
  c.harnesses.push_back(harness("heir", {heirs}));
  installCatalog(c);
  writeFragment("base", 0, alphaValue(Value::Object{{"v", "old"}}));
  ASSERT_EQ(run().health, Health::ok);

  std::string foreign =
      SecretEnvelope::encrypt("x", crypto::P256PrivateKey::generate().publicKey().x963());
  writeFragment("base", 0,
                Value::Object{{"alpha", Value::Object{{"settings", Value::Object{{"t", foreign}}}}},
                              {"heir", Value::Object{{"settings", Value::Object{{"v", "new"}}}}}});
  StatusReport report = run();
  EXPECT_EQ(status(report, "alpha").state, State::degraded);
  EXPECT_EQ(status(report, "heir").state, State::managed);
  EXPECT_EQ(actions(report),
            (std::vector<std::pair<std::string, Action>>{{alphaSettings, Action::updated}}));
  EXPECT_EQ(Value::parseJSON(readFile(alphaSettings)), Value(Value::Object{{"v", "new"}}));

  report = run();
  EXPECT_TRUE(report.changes.empty()) << report.encode();
  EXPECT_EQ(Value::parseJSON(readFile(alphaSettings)), Value(Value::Object{{"v", "new"}}));
}

TEST_F(ReconcilerTest, AnUnreadableFragmentFreezesEveryHarnessAndReleasesNothing) {
  installCatalog(catalog());
  writeFragment("base", 0, bothHarnesses());
  ASSERT_EQ(run().health, Health::ok);
  std::string applied = readFile(alphaSettings);

  writeFragment("base", 0, alphaValue(Value::Object{{"v", 2}}));  // beta no longer named
  tree.write("prefs/com.zelkorandin.tavra.policy.broken.plist", "not a property list");
  tree.write("out/alpha/settings.json", "{}");

  StatusReport report = run();
  EXPECT_EQ(report.fragments, std::vector<std::string>{"base (priority 0)"});
  ASSERT_EQ(report.fragmentErrors.size(), 1u);
  EXPECT_EQ(report.fragmentErrors.begin()->first, "com.zelkorandin.tavra.policy.broken");
  EXPECT_EQ(report.errors, std::vector<std::string>{
                               "1 fragment(s) unreadable; keeping last applied configuration"});
  EXPECT_EQ(status(report, "alpha"),
            (StatusReport::HarnessStatus{"alpha", State::degraded, {"base"}, {}, {}, {}}));
  EXPECT_EQ(status(report, "beta").state, State::unmanaged);
  EXPECT_EQ(report.health, Health::degraded);
  EXPECT_EQ(actions(report),
            (std::vector<std::pair<std::string, Action>>{{alphaSettings, Action::driftCorrected}}));
  EXPECT_EQ(readFile(alphaSettings), applied);
  EXPECT_TRUE(exists(betaConfig));
}

TEST_F(ReconcilerTest, APassTellsWhatItLeftAtEveryFileItKeptInLineReassertedOnesIncluded) {
  installCatalog(catalog());
  writeFragment("base", 0, bothHarnesses());
  ASSERT_EQ(run().health, Health::ok);
  tree.write("prefs/com.zelkorandin.tavra.policy.broken.plist", "not a property list");
  tree.write("out/alpha/settings.json", "{}");

  logger->clear();
  const Reconciler::Outcome outcome = Reconciler(environment(), {}).pass(false);
  // Frozen: the report lists no outputs, but the pass re-asserted (and rewrote) both files.
  EXPECT_TRUE(status(outcome.report, "alpha").outputs.empty());
  ASSERT_EQ(outcome.left.size(), 2u);
  for (const std::string& path : {alphaSettings, betaConfig}) {
    const std::string canonical = PathPolicy::canonical(path);
    ASSERT_TRUE(outcome.left.contains(FileKey(canonical))) << canonical;
    const auto& left = outcome.left.at(FileKey(canonical));
    ASSERT_TRUE(left) << path;
    std::error_code error;
    const auto now = test::files()->status(path, fs::Links::notFinal, error);
    ASSERT_TRUE(now) << path;
    EXPECT_TRUE(now->sameVersion(*left)) << path;
  }
  // The report is the one run() gives and status.json holds.
  EXPECT_EQ(StatusReport::decode(readFile(support + "/status.json")), outcome.report);
}

TEST_F(ReconcilerTest, WithoutAUsableCatalogEveryLastAppliedCopyIsKept) {
  installCatalog(catalog());
  writeFragment("base", 0, bothHarnesses());
  ASSERT_EQ(run().health, Health::ok);
  std::string applied = readFile(alphaSettings);

  struct Case {
    const char* name;
    std::function<void()> breakCatalog;
    std::string errorPrefix;
  };
  std::string catalogFile = support + "/catalog/catalog.json";
  std::vector<Case> cases{
      {"rejected", [&] { tree.write("support/catalog/catalog.json", catalog().encode() + " "); },
       "cached catalog rejected: "},
      {"missing", [&] { std::filesystem::remove(catalogFile); },
       "no verified vendor catalog installed"},
  };
  for (const auto& c : cases) {
    c.breakCatalog();
    tree.write("out/alpha/settings.json", "{}");
    StatusReport report = run();
    EXPECT_EQ(report.health, Health::error) << c.name;
    EXPECT_EQ(report.catalogVersion, std::nullopt) << c.name;
    EXPECT_TRUE(report.harnesses.empty()) << c.name;
    ASSERT_EQ(report.errors.size(), 1u) << c.name;
    EXPECT_EQ(report.errors[0].rfind(c.errorPrefix, 0), 0u) << report.errors[0];
    EXPECT_EQ(
        actions(report),
        (std::vector<std::pair<std::string, Action>>{{alphaSettings, Action::driftCorrected}}))
        << c.name;
    EXPECT_EQ(readFile(alphaSettings), applied) << c.name;
    EXPECT_TRUE(exists(betaConfig)) << c.name;
    EXPECT_EQ(report.summary(), "error; catalog none; managed: none");
    Value written = Value::parseJSON(readFile(support + "/status.json"));
    EXPECT_FALSE(written.asObject()->count("catalogVersion")) << c.name;
  }
}

TEST_F(ReconcilerTest, AHarnessNoLongerNamedGetsItsBackupBack) {
  installCatalog(catalog());
  tree.write("out/beta/config.plist", "original");
  writeFragment("base", 0, bothHarnesses());
  EXPECT_EQ(actions(run()), (std::vector<std::pair<std::string, Action>>{
                                {alphaSettings, Action::created}, {betaConfig, Action::updated}}));

  removeFragment("base");
  writeFragment("other", 0, alphaValue(Value::Object{{"v", 1}}));
  StatusReport report = run();
  EXPECT_EQ(report.health, Health::ok);
  EXPECT_EQ(actions(report),
            (std::vector<std::pair<std::string, Action>>{{betaConfig, Action::restoredBackup}}));
  EXPECT_EQ(readFile(betaConfig), "original");
  EXPECT_EQ(report.summary(), "ok; catalog 1.0; managed: alpha");
}

}  // namespace
}  // namespace tavra::test
