#include "tavra/reconciler.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/catalog_fixtures.h"
#include "support/services.h"
#include "support/temp_tree.h"
#include "tavra/base64.h"
#include "tavra/json.h"
#include "tavra/platform/crypto.h"
#include "tavra/plist.h"
#include "tavra/secret_envelope.h"

namespace tavra {
namespace {}  // namespace

void PrintTo(const StatusReport& report, std::ostream* os) {
  *os << report.encode();
}

namespace {

using test::exists;
using test::readFile;
using test::TempTree;
using Action = FileApplier::Action;
using Health = StatusReport::Health;
using State = StatusReport::HarnessState;

using test::harness;
using test::output;

// A whole pass over a scratch tree: a signed catalog in the support directory's catalog cache,
// fragment plists in a managed-preferences folder, outputs below out/ (and one harness writing
// into the managed-preferences folder itself).
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
    Environment e{
        .preferences = ManagedPreferences(prefs, false, test::files()),
        .catalogStore = store(),
        .supportDirectory = support,
        .keys = std::make_shared<InMemoryKeyProvider>(std::vector{envelopeKey}),
        .builtInPathPrefixes = {out + "/", prefs + "/"},
        .discovery = discovery,
        .services = test::services(),
    };
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

TEST_F(ReconcilerTest, FirstPassWritesManagedFilesAndTheNextChangesNothing) {
  installCatalog(catalog());
  writeFragment("base", 10,
                Value::Object{{"alpha", Value::Object{{"settings", Value::Object{{"model", "a"}}},
                                                      {"extra", Value::Object{{"x", 1}}}}},
                              {"beta", Value::Object{{"config", Value::Object{{"on", true}}}}}});
  writeFragment("team", -5, alphaValue(Value::Object{{"model", "b"}, {"theme", "dark"}}));

  StatusReport report = run();
  EXPECT_EQ(report.health, Health::ok);
  EXPECT_EQ(report.catalogVersion, "1.0");
  EXPECT_FALSE(report.dryRun);
  EXPECT_EQ(report.tavraVersion, "0.2.1");
  EXPECT_EQ(report.fragments,
            (std::vector<std::string>{"base (priority 10)", "team (priority -5)"}));
  EXPECT_TRUE(report.errors.empty());
  EXPECT_EQ(report.inventory, std::nullopt);
  ASSERT_EQ(report.harnesses.size(), 4u);
  StatusReport::HarnessStatus alpha{
      "alpha", State::managed, {"base", "team"}, {alphaSettings, alphaExtra}, {}, {}};
  EXPECT_EQ(report.harnesses[0], alpha);
  EXPECT_EQ(report.harnesses[1].state, State::managed);
  EXPECT_EQ(report.harnesses[2],
            (StatusReport::HarnessStatus{"gamma", State::unmanaged, {}, {}, {}, {}}));
  EXPECT_EQ(report.harnesses[3].state, State::unmanaged);
  EXPECT_EQ(actions(report),
            (std::vector<std::pair<std::string, Action>>{{alphaSettings, Action::created},
                                                         {alphaExtra, Action::created},
                                                         {betaConfig, Action::created}}));
  EXPECT_EQ(report.summary(), "ok; catalog 1.0; managed: alpha,beta");

  // The highest priority wins; the files are the rendered bytes with the output's mode.
  EXPECT_EQ(Value::parseJSON(readFile(alphaSettings)),
            Value(Value::Object{{"model", "a"}, {"theme", "dark"}}));
  struct stat info {};
  ASSERT_EQ(stat(alphaSettings.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(Value::parsePlist(readFile(betaConfig)), Value(Value::Object{{"on", true}}));

  // status.json holds the returned report.
  EXPECT_EQ(StatusReport::load(*test::files(), support + "/status.json"), report);
  ASSERT_EQ(stat((support + "/status.json").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);

  EXPECT_EQ(logger->lines(),
            (std::vector<MemoryLogger::Line>{
                {Logger::Level::default_, "created " + alphaSettings + " [alpha]"},
                {Logger::Level::default_, "created " + alphaExtra + " [alpha]"},
                {Logger::Level::default_, "created " + betaConfig + " [beta]"},
                {Logger::Level::info, "run finished: ok; catalog 1.0; managed: alpha,beta"}}));

  StatusReport again = run();
  EXPECT_EQ(again.health, Health::ok);
  EXPECT_TRUE(again.changes.empty());
  EXPECT_EQ(again.harnesses, report.harnesses);
  EXPECT_EQ(logger->texts(),
            std::vector<std::string>{"run finished: ok; catalog 1.0; managed: alpha,beta"});
  EXPECT_EQ(flushes, 0);
}

TEST_F(ReconcilerTest, WarningsAndErrorsOfThePlan) {
  Catalog c = catalog();
  c.harnesses.push_back(harness("bare", {}));  // a harness without any output
  installCatalog(c);
  tree.write("prefs/com.example.alpha.plist", plist::writeXML(Value::Object{}));
  writeFragment("base", 0,
                Value::Object{{"alpha", Value::Object{{"settings", Value::Object{{"k", 1}}},
                                                      {"bogus", Value::Object{}}}},
                              {"bare", Value::Object{{"x", Value::Object{}}}},
                              {"nope", Value::Object{}}});
  // The forbidden key comes only from the lower-priority fragment; the merged value holds it.
  writeFragment("low", -1, alphaValue(Value::Object{{"apiKeyHelper", "x"}, {"k", "two"}}));

  StatusReport report = run();
  EXPECT_EQ(report.errors, std::vector<std::string>{"fragment base: unknown harness 'nope'"});
  EXPECT_EQ(report.health, Health::degraded);
  const auto& alpha = status(report, "alpha");
  EXPECT_EQ(alpha.state, State::managed);
  EXPECT_EQ(alpha.outputs, std::vector<std::string>{alphaSettings});
  EXPECT_EQ(alpha.warnings,
            (std::vector<std::string>{
                "an MDM profile for com.example.alpha is also installed and may take precedence "
                "over Tavra's output",
                "fragment base: unknown output 'bogus' ignored (expected: extra, settings)",
                "settings: k: fragments disagree on the value type; using the highest-priority "
                "value",
                "settings: key 'apiKeyHelper' is not allowed here and was dropped"}));
  EXPECT_EQ(Value::parseJSON(readFile(alphaSettings)), Value(Value::Object{{"k", 1}}));
  EXPECT_FALSE(exists(alphaExtra));
  // Nothing between "(expected: " and ")" for a harness without outputs.
  EXPECT_EQ(status(report, "bare"),
            (StatusReport::HarnessStatus{"bare",
                                         State::managed,
                                         {"base"},
                                         {},
                                         {"fragment base: unknown output 'x' ignored (expected: )"},
                                         {}}));
  EXPECT_EQ(logger->lines().back().level, Logger::Level::info);
  EXPECT_EQ(logger->lines()[logger->lines().size() - 2],
            (MemoryLogger::Line{Logger::Level::error, "fragment base: unknown harness 'nope'"}));
}

TEST_F(ReconcilerTest, DisabledPlannedAndUnnamedHarnesses) {
  installCatalog(catalog());
  writeFragment("base", 0,
                Value::Object{{"alpha", Value::Object{{"settings", Value::Object{{"k", 1}}}}},
                              {"gamma", Value::Object{{"main", Value::Object{{"k", 1}}}}},
                              {"beta", Value::Object{}}});
  ASSERT_EQ(run().harnesses[0].state, State::managed);
  ASSERT_TRUE(exists(alphaSettings));

  TavraSettings settings;
  settings.disabledHarnesses = {"alpha", "delta"};
  StatusReport report = run(settings);
  EXPECT_EQ(report.harnesses[0],
            (StatusReport::HarnessStatus{"alpha",
                                         State::disabled,
                                         {"base"},
                                         {},
                                         {"disabled via DisabledHarnesses; outputs removed"},
                                         {}}));
  // An empty map still names the harness: managed, with no file.
  EXPECT_EQ(report.harnesses[1],
            (StatusReport::HarnessStatus{"beta", State::managed, {"base"}, {}, {}, {}}));
  EXPECT_EQ(
      report.harnesses[2],
      (StatusReport::HarnessStatus{"gamma",
                                   State::error,
                                   {"base"},
                                   {},
                                   {},
                                   {"harness is listed as planned in catalog 1.0; not applied"}}));
  EXPECT_EQ(report.harnesses[3].state, State::unmanaged);
  EXPECT_EQ(report.health, Health::degraded);
  EXPECT_EQ(actions(report),
            (std::vector<std::pair<std::string, Action>>{{alphaSettings, Action::removed}}));
  EXPECT_FALSE(exists(alphaSettings));
  EXPECT_FALSE(exists(out + "/gamma.json"));

  // The disabled rule comes before the planned one.
  settings.disabledHarnesses = {"gamma"};
  EXPECT_EQ(run(settings).harnesses[2].state, State::disabled);
}

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

TEST_F(ReconcilerTest, DryRunReportsWithoutWritingAnythingButTheStatus) {
  installCatalog(catalog());
  writeFragment("base", 0,
                Value::Object{{"alpha", Value::Object{{"settings", Value::Object{{"v", 1}}}}},
                              {"delta", Value::Object{{"one", Value::Object{{"v", 1}}}}}});
  TavraSettings settings;
  settings.dryRun = true;
  StatusReport report = run(settings);
  EXPECT_TRUE(report.dryRun);
  EXPECT_EQ(actions(report),
            (std::vector<std::pair<std::string, Action>>{{alphaSettings, Action::wouldWrite},
                                                         {deltaOne, Action::wouldWrite}}));
  EXPECT_FALSE(exists(alphaSettings));
  EXPECT_FALSE(exists(deltaOne));
  EXPECT_FALSE(exists(support + "/state.json"));
  EXPECT_EQ(flushes, 0);
  EXPECT_TRUE(StatusReport::load(*test::files(), support + "/status.json").dryRun);
  EXPECT_EQ(logger->texts().front(), "wouldWrite " + alphaSettings + " [alpha]");

  // After a real pass, a dry run that would release a managed-preferences file reports
  // wouldRemove, keeps the file and its state, and does not flush.
  settings.dryRun = false;
  ASSERT_EQ(run(settings).health, Health::ok);
  ASSERT_EQ(flushes, 1);
  std::string state = readFile(support + "/state.json");
  settings.dryRun = true;
  settings.disabledHarnesses = {"delta"};
  report = run(settings);
  EXPECT_EQ(actions(report),
            (std::vector<std::pair<std::string, Action>>{{deltaOne, Action::wouldRemove}}));
  EXPECT_TRUE(exists(deltaOne));
  EXPECT_EQ(readFile(support + "/state.json"), state);
  EXPECT_EQ(flushes, 1);
}

TEST_F(ReconcilerTest, FailedOutputsMarkTheFirstHarnessListingThem) {
  Catalog c = catalog();
  std::string refused = tree.path("elsewhere/x.json");
  std::string early = tree.path("elsewhere/a.json");
  c.harnesses[0].outputs.push_back(output("early", early, Output::Format::json));
  c.harnesses[1].outputs.push_back(output("refused", refused, Output::Format::json));
  // The same refused path in a later harness: only the first is marked.
  c.harnesses[3].outputs.push_back(output("refused", refused, Output::Format::json));
  installCatalog(c);
  writeFragment("base", 0,
                Value::Object{{"beta", Value::Object{{"refused", Value::Object{{"v", 1}}},
                                                     {"config", Value::Object{{"v", 1}}}}},
                              {"delta", Value::Object{{"refused", Value::Object{{"v", 1}}}}},
                              {"zzz", Value::Object{}}});
  writeFragment("low", -1, Value::Object{{"alpha", Value::Object{{"early", Value::Object{}}}}});
  StatusReport report = run();
  EXPECT_EQ(report.health, Health::degraded);
  // The plan's errors first, then the failures sorted by path.
  ASSERT_EQ(report.errors.size(), 3u);
  EXPECT_EQ(report.errors[0], "fragment base: unknown harness 'zzz'");
  EXPECT_EQ(report.errors[1].rfind(early + ": path not allowed: ", 0), 0u) << report.errors[1];
  EXPECT_EQ(report.errors[2].rfind(refused + ": path not allowed: ", 0), 0u) << report.errors[2];
  const auto& beta = status(report, "beta");
  EXPECT_EQ(beta.state, State::error);
  ASSERT_EQ(beta.errors.size(), 1u);
  EXPECT_EQ(report.errors[2], refused + ": " + beta.errors[0]);
  EXPECT_EQ(status(report, "alpha").state, State::error);
  EXPECT_EQ(status(report, "delta").state, State::managed);
  EXPECT_TRUE(status(report, "delta").errors.empty());
  // The other files are applied.
  EXPECT_TRUE(exists(betaConfig));
  EXPECT_FALSE(exists(refused));
  EXPECT_FALSE(exists(early));
}

TEST_F(ReconcilerTest, OneFlushForChangedManagedPreferencesAndNoneOtherwise) {
  installCatalog(catalog());
  writeFragment("base", 0,
                Value::Object{{"delta", Value::Object{{"one", Value::Object{{"v", 1}}},
                                                      {"two", Value::Object{{"v", 2}}}}}});
  StatusReport report = run();
  EXPECT_EQ(actions(report), (std::vector<std::pair<std::string, Action>>{
                                 {deltaOne, Action::created}, {deltaTwo, Action::created}}));
  EXPECT_EQ(flushes, 1);
  auto texts = logger->texts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(),
                       "managed preferences changed; flushed the cfprefsd cache"),
            1);
  EXPECT_EQ(texts[0], "managed preferences changed; flushed the cfprefsd cache");

  run();  // nothing changed
  EXPECT_EQ(flushes, 1);

  withFlush = false;
  writeFragment("base", 0,
                Value::Object{{"delta", Value::Object{{"one", Value::Object{{"v", 3}}}}}});
  report = run();
  EXPECT_EQ(actions(report), (std::vector<std::pair<std::string, Action>>{
                                 {deltaOne, Action::updated}, {deltaTwo, Action::removed}}));
  EXPECT_EQ(flushes, 1);
  texts = logger->texts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(),
                       "managed preferences changed; flushed the cfprefsd cache"),
            0);
}

TEST_F(ReconcilerTest, InventoryOnlyWhenAskedAndADiscoveryExists) {
  installCatalog(catalog());
  EXPECT_EQ(run({}, true).inventory, std::nullopt);
  discovery = Discovery(test::files(), test::processTable(), std::vector<Discovery::LocalUser>{},
                        std::vector<std::string>{});
  EXPECT_EQ(run({}, false).inventory, std::nullopt);
  StatusReport report = run({}, true);
  ASSERT_TRUE(report.inventory);
  ASSERT_EQ(report.inventory->size(), 1u);
  EXPECT_EQ(report.inventory->at(0).id, "alpha");
  EXPECT_EQ(StatusReport::load(*test::files(), support + "/status.json").inventory,
            report.inventory);
}

TEST_F(ReconcilerTest, AFailingApplyAndAnUnwritableStatusAreReportedNotThrown) {
  installCatalog(catalog());
  writeFragment("base", 0, alphaValue(Value::Object{{"v", 1}}));
  // The applier's own directory is taken by a file: the state cannot be saved, nor the status.
  Environment e = environment();
  e.supportDirectory = tree.write("blocked", "file");
  StatusReport report = Reconciler(e, {}).run(false);
  ASSERT_EQ(report.errors.size(), 1u);
  EXPECT_EQ(report.errors[0].rfind("apply failed: ", 0), 0u) << report.errors[0];
  EXPECT_TRUE(report.changes.empty());
  EXPECT_EQ(report.health, Health::degraded);
  EXPECT_EQ(status(report, "alpha").state, State::managed);
  auto lines = logger->lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0].level, Logger::Level::error);
  EXPECT_EQ(lines[0].text.rfind("cannot write status: ", 0), 0u) << lines[0].text;
  EXPECT_EQ(lines[1], (MemoryLogger::Line{Logger::Level::error, report.errors[0]}));
  EXPECT_EQ(lines[2].text, "run finished: " + report.summary());
}

// The pass's one clock dates the report and the state alike.
TEST_F(ReconcilerTest, TheEnvironmentsClockDatesTheReportAndTheState) {
  installCatalog(catalog());
  writeFragment("base", 0, alphaValue(Value::Object{{"v", 1}}));
  const Date then = std::chrono::sys_days{std::chrono::year{2030} / 1 / 2} + std::chrono::hours{3};
  Environment e = environment();
  e.services.clock = test::clock([then] { return then; });
  const StatusReport report = Reconciler(e, {}).run(false);
  EXPECT_EQ(report.timestamp, then);
  const FileApplier applier(support, PathPolicy({}, {}), false, test::files(), e.services.clock);
  const FileApplier::StateEntry entry = applier.loadState().entries.at(alphaSettings);
  EXPECT_EQ(entry.managedSince, then);
  EXPECT_EQ(entry.lastWritten, then);
}

TEST_F(ReconcilerTest, MissingSupportDirectoryIsCreatedForTheStatus) {
  StatusReport report = run();  // no catalog at all
  EXPECT_EQ(report.health, Health::error);
  EXPECT_EQ(report.errors, std::vector<std::string>{"no verified vendor catalog installed"});
  struct stat info {};
  ASSERT_EQ(stat((support + "/status.json").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);
}

TEST_F(ReconcilerTest, UnreadableManagedPreferencesKeepTheCatalogVersion) {
  installCatalog(catalog());
  writeFragment("base", 0, alphaValue(Value::Object{{"v", 1}}));
  ASSERT_EQ(run().health, Health::ok);
  // A preferences "directory" that exists but cannot be listed.
  Environment e = environment();
  e.preferences = ManagedPreferences(tree.write("not-a-directory", ""), false, test::files());
  tree.write("out/alpha/settings.json", "{}");
  StatusReport report = Reconciler(e, {}).run(false);
  EXPECT_EQ(report.catalogVersion, "1.0");
  EXPECT_TRUE(report.harnesses.empty());
  EXPECT_TRUE(report.fragments.empty());
  ASSERT_EQ(report.errors.size(), 1u);
  EXPECT_EQ(report.errors[0].rfind("cannot read managed preferences: ", 0), 0u) << report.errors[0];
  EXPECT_EQ(report.health, Health::degraded);
  // Incomplete: the last applied copy is re-asserted, nothing is released.
  EXPECT_EQ(actions(report),
            (std::vector<std::pair<std::string, Action>>{{alphaSettings, Action::driftCorrected}}));
}

}  // namespace
}  // namespace tavra
