// Whole passes: what they write, report, log and flush.
#include "core/reconcile/reconciler_fixture.h"

namespace tavra::test {
namespace {

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
}  // namespace tavra::test
