#include "tavra/status_report.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/services.h"
#include "support/temp_tree.h"
#include "tavra/error.h"
#include "tavra/json.h"

namespace tavra {
namespace {

using Health = StatusReport::Health;
using State = StatusReport::HarnessState;
using HarnessStatus = StatusReport::HarnessStatus;

StatusReport sample() {
  StatusReport report;
  report.timestamp = *parseISO8601("2026-03-01T09:30:00Z");
  report.health = Health::degraded;
  report.dryRun = true;
  report.catalogVersion = "1.4.0";
  report.fragments = {"base (priority 10)", "team (priority -5)"};
  report.fragmentErrors = {{"com.zelkorandin.tavra.policy.bad", "policy fragment: broken"}};
  report.harnesses = {{"codex", State::managed, {"base"}, {"/etc/codex/config.toml"}, {"w"}, {}},
                      {"opencode", State::error, {}, {}, {}, {"e1", "e2"}}};
  report.changes = {{"/private/etc/codex/config.toml", "codex", FileApplier::Action::wouldWrite}};
  report.errors = {"/x: io: cannot write"};
  report.inventory = std::vector<Discovery::HarnessInventory>{
      {"codex",
       "Codex",
       "supported",
       true,
       false,
       {{"/opt/codex", {}, "1.0", Discovery::Installation::Kind::executable}},
       {},
       {}}};
  return report;
}

TEST(StatusReportTest, SummaryNamesHealthCatalogAndManagedHarnesses) {
  StatusReport report;
  report.health = Health::error;
  EXPECT_EQ(report.summary(), "error; catalog none; managed: none");

  report.health = Health::ok;
  report.catalogVersion = "1.4.0";
  report.harnesses = {{"a", State::managed, {}, {}, {}, {}},
                      {"b", State::disabled, {}, {}, {}, {}},
                      {"c", State::managed, {}, {}, {}, {}},
                      {"d", State::degraded, {}, {}, {}, {}}};
  EXPECT_EQ(report.summary(), "ok; catalog 1.4.0; managed: a,c");
}

// A catalog may give a harness the empty id: it is still one managed harness among the others.
TEST(StatusReportTest, SummaryKeepsAnEmptyHarnessIDInItsPlace) {
  StatusReport report;
  report.health = Health::ok;
  report.harnesses = {{"", State::managed, {}, {}, {}, {}}, {"b", State::managed, {}, {}, {}, {}}};
  EXPECT_EQ(report.summary(), "ok; catalog none; managed: ,b");
  report.harnesses.pop_back();
  EXPECT_EQ(report.summary(), "ok; catalog none; managed: ");
}

TEST(StatusReportTest, HealthRawValues) {
  EXPECT_EQ(rawValue(Health::ok), "ok");
  EXPECT_EQ(rawValue(Health::degraded), "degraded");
  EXPECT_EQ(rawValue(Health::error), "error");
  EXPECT_EQ(fromRawValue<Health>("degraded"), Health::degraded);
  EXPECT_EQ(fromRawValue<Health>("warning"), std::nullopt);
  EXPECT_EQ(fromRawValue<Health>("OK"), std::nullopt);
}

// Harness states and installation kinds are enumerations whose raw texts are their JSON form;
// a text that is not one of them (the spelling counts) does not decode.
TEST(StatusReportTest, HarnessStateAndInstallationKindRawValues) {
  const std::pair<State, const char*> states[] = {{State::unmanaged, "unmanaged"},
                                                  {State::disabled, "disabled"},
                                                  {State::error, "error"},
                                                  {State::degraded, "degraded"},
                                                  {State::managed, "managed"}};
  for (const auto& [state, text] : states) {
    EXPECT_EQ(rawValue(state), text);
    EXPECT_EQ(fromRawValue<State>(text), state);
  }
  EXPECT_EQ(fromRawValue<State>("Managed"), std::nullopt);
  using Kind = Discovery::Installation::Kind;
  EXPECT_EQ(rawValue(Kind::app), "app");
  EXPECT_EQ(rawValue(Kind::executable), "executable");
  EXPECT_EQ(fromRawValue<Kind>("executable"), Kind::executable);
  EXPECT_EQ(fromRawValue<Kind>("App"), std::nullopt);
}

// A state or installation kind is plain text in the file: one this version does not know (a
// newer daemon's, another tool's) is read, kept and written again as it was, and equals no case.
TEST(StatusReportTest, UnknownStatesAndKindsAreKeptAsTheirText) {
  const auto replace = [](std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
  };
  std::string bytes = sample().encode();
  bytes = replace(bytes, "\"managed\"", "\"quarantined\"");
  bytes = replace(bytes, "\"executable\"", "\"pkg\"");
  const StatusReport read = StatusReport::decode(bytes);
  const OpenEnum<State>& state = read.harnesses[0].state;
  EXPECT_EQ(state.text(), "quarantined");
  EXPECT_EQ(state.known(), std::nullopt);
  for (const State known :
       {State::unmanaged, State::disabled, State::error, State::degraded, State::managed}) {
    EXPECT_FALSE(state == known);
  }
  EXPECT_EQ(read.harnesses[1].state, State::error);
  const auto& kind = (*read.inventory)[0].installations[0].kind;
  EXPECT_EQ(kind.text(), "pkg");
  EXPECT_FALSE(kind == Discovery::Installation::Kind::executable);
  EXPECT_EQ(read.summary(), "degraded; catalog 1.4.0; managed: none");
  EXPECT_EQ(read.encode(), bytes);
  EXPECT_EQ(StatusReport::decode(read.encode()), read);
  // "Managed" is as unknown as any other text: cases are compared exactly.
  EXPECT_EQ(StatusReport::decode(replace(sample().encode(), "\"managed\"", "\"Managed\""))
                .harnesses[0]
                .state.text(),
            "Managed");
}

TEST(StatusReportTest, EncodedFormHasSortedKeysEscapedSlashesAndOptionalKeysLeftOut) {
  std::string bytes = sample().encode();
  std::vector<std::string> keys{"\"catalogVersion\"", "\"changes\"",        "\"dryRun\"",
                                "\"errors\"",         "\"fragmentErrors\"", "\"fragments\"",
                                "\"harnesses\"",      "\"health\"",         "\"inventory\"",
                                "\"tavraVersion\"",   "\"timestamp\""};
  std::size_t last = 0;
  for (const auto& key : keys) {
    auto at = bytes.find(key);
    ASSERT_NE(at, std::string::npos) << key;
    EXPECT_GT(at, last) << key;
    last = at;
  }
  EXPECT_NE(bytes.find("\"2026-03-01T09:30:00Z\""), std::string::npos);
  EXPECT_NE(bytes.find(R"(\/private\/etc\/codex\/config.toml)"), std::string::npos);
  for (std::size_t at = bytes.find('/'); at != std::string::npos; at = bytes.find('/', at + 1)) {
    EXPECT_EQ(bytes[at - 1], '\\') << "unescaped solidus at " << at;
  }
  EXPECT_NE(bytes.find('\n'), std::string::npos);

  Value harness = Value::parseJSON(bytes).asObject()->at("harnesses").asArray()->at(1);
  EXPECT_EQ(json::write(harness),
            R"({"errors":["e1","e2"],"fragments":[],"id":"opencode","outputs":[],)"
            R"("state":"error","warnings":[]})");

  StatusReport bare = sample();
  bare.catalogVersion.reset();
  bare.inventory.reset();
  Value object = Value::parseJSON(bare.encode());
  EXPECT_FALSE(object.asObject()->count("catalogVersion"));
  EXPECT_FALSE(object.asObject()->count("inventory"));
  bare.inventory.emplace();
  EXPECT_EQ(Value::parseJSON(bare.encode()).asObject()->at("inventory"), Value(Value::Array{}));
}

TEST(StatusReportTest, DecodingRoundTripsAndRefusesBadDocuments) {
  StatusReport report = sample();
  EXPECT_EQ(StatusReport::decode(report.encode()), report);
  report.catalogVersion.reset();
  report.inventory.reset();
  EXPECT_EQ(StatusReport::decode(report.encode()), report);

  Value good = Value::parseJSON(sample().encode());
  auto withExtra = good;
  withExtra.asObject()->emplace("later", 1);
  EXPECT_EQ(StatusReport::fromValue(withExtra), sample());

  auto changed = [&](const char* key, std::optional<Value> value) {
    return json::write(good.setting(std::move(value), KeyPath(key)));
  };
  std::vector<std::pair<const char*, std::string>> bad{
      {"health warning", changed("health", Value("warning"))},
      {"no tavraVersion", changed("tavraVersion", std::nullopt)},
      {"no errors", changed("errors", std::nullopt)},
      {"dryRun text", changed("dryRun", Value("true"))},
      {"fractional date", changed("timestamp", Value("2026-03-01T09:30:00.5Z"))},
      {"offset date", changed("timestamp", Value("2026-03-01T10:30:00+01:00"))},
      {"catalogVersion number", changed("catalogVersion", Value(1))},
      {"unknown action",
       changed("changes", Value(Value::Array{Value(Value::Object{
                              {"action", "moved"}, {"harnessID", "x"}, {"path", "/p"}})}))},
      {"not json", "{"},
  };
  for (const auto& [name, bytes] : bad) {
    EXPECT_THROW(StatusReport::decode(bytes), FileApplier::DecodingError) << name;
  }
}

TEST(StatusReportTest, TextThatIsNotUTF8IsShownWithReplacementCharacters) {
  // A user's folder or executable name need not be UTF-8 on every file system; the report must
  // still be written and read back.
  StatusReport report = sample();
  report.errors = {"/home/u\xFF/x: io: cannot write"};
  report.fragmentErrors = {{"com.zelkorandin.tavra.policy.\xC3", "policy fragment: broken"}};
  (*report.inventory)[0].installations[0].path =
      "/opt/co\xE2\x82"
      "dex";
  const StatusReport read = StatusReport::decode(report.encode());
  EXPECT_EQ(read.errors, std::vector<std::string>{"/home/u\uFFFD/x: io: cannot write"});
  EXPECT_EQ(read.fragmentErrors.begin()->first, "com.zelkorandin.tavra.policy.\uFFFD");
  EXPECT_EQ((*read.inventory)[0].installations[0].path, "/opt/co\uFFFDdex");
}

TEST(StatusReportTest, LoadReadsTheFileOrSaysThereIsNoStatus) {
  test::TempTree tree;
  std::string path = tree.write("status.json", sample().encode());
  EXPECT_EQ(StatusReport::load(*test::files(), path), sample());

  // Missing, a directory, and a FIFO (which must not block the reader).
  std::string fifo = tree.path("fifo.json");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  for (const std::string& missing : {tree.path("absent.json"), tree.root(), fifo}) {
    try {
      StatusReport::load(*test::files(), missing);
      ADD_FAILURE() << "loaded " << missing;
    } catch (const TavraError& error) {
      EXPECT_EQ(error.kind(), TavraError::Case::io);
      EXPECT_EQ(error.message(), "no status at " + missing);
    }
  }
  tree.write("warning.json",
             json::write(
                 Value::parseJSON(sample().encode()).setting(Value("warning"), KeyPath("health"))));
  EXPECT_THROW(StatusReport::load(*test::files(), tree.path("warning.json")),
               FileApplier::DecodingError);
}

}  // namespace
}  // namespace tavra
