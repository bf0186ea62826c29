#include "tavra/catalog.h"

#include <gtest/gtest.h>

#include <string>

#include "support/catalog_fixtures.h"
#include "support/python.h"
#include "support/tavra_error.h"
#include "support/thrown.h"
#include "tavra/error.h"

namespace tavra {
namespace {

// A catalog document with one harness and one output whose members can be swapped in and out.
std::string document(const std::string& harnessExtra = "", const std::string& outputExtra = "",
                     const std::string& rootExtra = "") {
  return R"({"schemaVersion": 2, "catalogVersion": "2026.1.5", )" + rootExtra +
         R"("harnesses": [{"id": "h", "displayName": "H", "vendor": "V", "status": "supported", )" +
         harnessExtra + R"("outputs": [{"id": "o", "path": "/etc/h.json", "format": "json")" +
         outputExtra + "}]}]}";
}

TEST(CatalogDecodeTest, MinimalRootDecodes) {
  Catalog catalog =
      Catalog::decode(R"({"schemaVersion": 1, "catalogVersion": "", "harnesses": []})");
  EXPECT_EQ(catalog.schemaVersion, 1);
  EXPECT_EQ(catalog.catalogVersion, "");
  EXPECT_TRUE(catalog.harnesses.empty());
}

TEST(CatalogDecodeTest, ReadsEveryField) {
  Catalog catalog = Catalog::decode(R"({
    "schemaVersion": 2, "catalogVersion": "2026.1.5",
    "harnesses": [{
      "id": "claude", "displayName": "Claude Code", "vendor": "Anthropic", "status": "experimental",
      "notes": "n", "documentation": ["d1", "d2"], "conflictingPreferenceDomains": ["com.x"],
      "lastReviewed": "2026-01-01",
      "detect": {"appBundleIDs": ["a"], "executables": ["/usr/bin/e"], "processNames": ["p"],
                 "userConfigPaths": ["~/.c"]},
      "outputs": [{
        "id": "settings", "path": "/etc/c.toml", "format": "toml", "description": "desc",
        "mode": "0600",
        "mergeRules": [{"path": "a.*", "strategy": "strictest", "denies": "b", "matchField": "name",
                        "order": ["high", "low"]}, {"path": "x"}],
        "jsonEncodedKeys": ["j"], "forbiddenKeys": ["f"], "internalKeys": ["i"]}]}]})");
  ASSERT_EQ(catalog.harnesses.size(), 1u);
  const Harness& h = catalog.harnesses[0];
  EXPECT_EQ(h.id, "claude");
  EXPECT_EQ(h.displayName, "Claude Code");
  EXPECT_EQ(h.vendor, "Anthropic");
  EXPECT_EQ(h.status, Harness::Status::experimental);
  EXPECT_EQ(h.notes, "n");
  EXPECT_EQ(h.documentation, (std::vector<std::string>{"d1", "d2"}));
  EXPECT_EQ(h.conflictingPreferenceDomains, (std::vector<std::string>{"com.x"}));
  EXPECT_EQ(h.lastReviewed, "2026-01-01");
  ASSERT_TRUE(h.detect);
  EXPECT_EQ(h.detect->appBundleIDs, (std::vector<std::string>{"a"}));
  EXPECT_EQ(h.detect->executables, (std::vector<std::string>{"/usr/bin/e"}));
  EXPECT_EQ(h.detect->processNames, (std::vector<std::string>{"p"}));
  EXPECT_EQ(h.detect->userConfigPaths, (std::vector<std::string>{"~/.c"}));
  ASSERT_EQ(h.outputs.size(), 1u);
  const Output& o = h.outputs[0];
  EXPECT_EQ(o.id, "settings");
  EXPECT_EQ(o.path, "/etc/c.toml");
  EXPECT_EQ(o.format, Output::Format::toml);
  EXPECT_EQ(o.description, "desc");
  EXPECT_EQ(o.fileMode(), 0600);
  ASSERT_TRUE(o.mergeRules);
  ASSERT_EQ(o.mergeRules->size(), 2u);
  EXPECT_EQ((*o.mergeRules)[0], (MergeRule{"a.*", MergeRule::Strategy::strictest, "b", "name",
                                           std::vector<std::string>{"high", "low"}}));
  EXPECT_EQ((*o.mergeRules)[1], MergeRule{"x"});
  EXPECT_EQ(o.jsonEncodedKeys, (std::vector<std::string>{"j"}));
  EXPECT_EQ(o.forbiddenKeys, (std::vector<std::string>{"f"}));
  EXPECT_EQ(o.internalKeys, (std::vector<std::string>{"i"}));
}

TEST(CatalogDecodeTest, UnknownKeysAreIgnoredAtEveryLevel) {
  // Unknown keys may hold anything, nulls included, nested as deep as any JSON the system reads:
  // with the root object, 512 levels.
  const std::string deep = std::string(511, '[') + std::string(511, ']');
  Catalog plain =
      Catalog::decode(document(R"("detect": {}, )", R"(, "mergeRules": [{"path": "p"}])"));
  Catalog extra = Catalog::decode(document(
      R"("x": null, "detect": {"y": [null, 1]}, )",
      R"(, "z": {"n": null}, "mergeRules": [{"path": "p", "w": 1}])", R"("deep": )" + deep + ", "));
  EXPECT_EQ(plain, extra);
}

TEST(CatalogDecodeTest, NullCountsAsAbsent) {
  Catalog withNulls = Catalog::decode(document(
      R"("notes": null, "documentation": null, "conflictingPreferenceDomains": null,
         "lastReviewed": null, "detect": null, )",
      R"(, "description": null, "mode": null, "mergeRules": null, "jsonEncodedKeys": null,
          "forbiddenKeys": null, "internalKeys": null)"));
  EXPECT_EQ(withNulls, Catalog::decode(document()));
  Catalog rule = Catalog::decode(document(
      "", R"(, "mergeRules": [{"path": "p", "strategy": null, "denies": null, "matchField": null,
                                "order": null}])"));
  EXPECT_EQ(rule.harnesses[0].outputs[0].mergeRules->front(), MergeRule{"p"});
}

TEST(CatalogDecodeTest, EmptyListsAndTextsAreAccepted) {
  Catalog catalog =
      Catalog::decode(document(R"("documentation": [], "notes": "", )", R"(, "mergeRules": [])"));
  EXPECT_EQ(catalog.harnesses[0].documentation, std::vector<std::string>{});
  EXPECT_EQ(catalog.harnesses[0].notes, "");
  EXPECT_EQ(catalog.harnesses[0].outputs[0].mergeRules, std::vector<MergeRule>{});
}

TEST(CatalogDecodeTest, IntegerSpellingsOfTheSchemaVersion) {
  for (const char* spelling : {"2", "2.0", "-1", "0", "1", "-9223372036854775808", "1e0", "-2.0"}) {
    SCOPED_TRACE(spelling);
    std::string text = R"({"catalogVersion": "1", "harnesses": [], "schemaVersion": )" +
                       std::string(spelling) + "}";
    EXPECT_NO_THROW(Catalog::decode(text));
  }
}

struct DecodeFailure {
  const char* name;
  std::string bytes;
  const char* messagePart;  // the place or reason the message names
};

class CatalogDecodeFailureTest : public ::testing::TestWithParam<DecodeFailure> {};

TEST_P(CatalogDecodeFailureTest, FailsWithADecodeError) {
  const std::string message =
      test::thrownText<Catalog::DecodeError>([&] { Catalog::decode(GetParam().bytes); });
  EXPECT_NE(message.find(GetParam().messagePart), std::string::npos) << message;
}

std::string harnessWith(const std::string& members) {
  return R"({"schemaVersion": 2, "catalogVersion": "1", "harnesses": [{)" + members + "}]}";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CatalogDecodeFailureTest,
    ::testing::Values(
        DecodeFailure{"MalformedJSON", "{\"schemaVersion\": ", "invalid JSON"},
        DecodeFailure{"TrailingGarbage", document() + "x", "invalid JSON"},
        // Refused by the reader as soon as it gets there, as a fragment is, whatever the rest.
        DecodeFailure{"NestedTooDeep",
                      document("", "", R"("deep": )" + std::string(512, '[')) + "x",
                      "cannot decode catalog: invalid JSON: nesting deeper than 512 levels"},
        DecodeFailure{"BracketsOnly", std::string(100000, '['),
                      "cannot decode catalog: invalid JSON: nesting deeper than 512 levels"},
        DecodeFailure{"BadUTF8",
                      document(R"("notes": ")"
                               "\xff"
                               R"(", )"),
                      "invalid JSON"},
        DecodeFailure{"RootNotObject", "[]", "expected an object"},
        DecodeFailure{"SchemaVersionMissing", R"({"catalogVersion": "1", "harnesses": []})",
                      "missing key \"schemaVersion\""},
        DecodeFailure{"SchemaVersionNull",
                      R"({"schemaVersion": null, "catalogVersion": "1", "harnesses": []})",
                      "missing key \"schemaVersion\""},
        DecodeFailure{"SchemaVersionText",
                      R"({"schemaVersion": "2", "catalogVersion": "1", "harnesses": []})",
                      "schemaVersion: expected an integer, found string"},
        DecodeFailure{"SchemaVersionFraction",
                      R"({"schemaVersion": 1.5, "catalogVersion": "1", "harnesses": []})",
                      "schemaVersion: expected an integer"},
        DecodeFailure{"SchemaVersionTooLarge",
                      R"({"schemaVersion": 9223372036854775808, "catalogVersion": "1",
                          "harnesses": []})",
                      "out of the 64-bit integer range"},
        DecodeFailure{"SchemaVersionBelowRange",
                      R"({"schemaVersion": -9223372036854775809, "catalogVersion": "1",
                          "harnesses": []})",
                      "out of the 64-bit integer range"},
        DecodeFailure{"SchemaVersionLargeReal",
                      R"({"schemaVersion": 1e300, "catalogVersion": "1", "harnesses": []})",
                      "out of the 64-bit integer range"},
        DecodeFailure{"CatalogVersionNumber",
                      R"({"schemaVersion": 2, "catalogVersion": 1, "harnesses": []})",
                      "catalogVersion: expected a string, found number"},
        DecodeFailure{"HarnessesObject",
                      R"({"schemaVersion": 2, "catalogVersion": "1", "harnesses": {}})",
                      "harnesses: expected an array"},
        DecodeFailure{"HarnessNotObject",
                      R"({"schemaVersion": 2, "catalogVersion": "1", "harnesses": [1]})",
                      "harnesses[0]: expected an object"},
        DecodeFailure{"OutputsMissing", harnessWith(R"("id": "h", "displayName": "H", "vendor": "V",
                                     "status": "supported")"),
                      "harnesses[0]: missing key \"outputs\""},
        DecodeFailure{"IdNull", harnessWith(R"("id": null, "displayName": "H", "vendor": "V",
                                     "status": "supported", "outputs": [])"),
                      "missing key \"id\""},
        DecodeFailure{"StatusBeta", harnessWith(R"("id": "h", "displayName": "H", "vendor": "V",
                                                   "status": "beta", "outputs": [])"),
                      "harnesses[0].status: unknown value \"beta\""},
        DecodeFailure{"StatusCase", harnessWith(R"("id": "h", "displayName": "H", "vendor": "V",
                                                   "status": "Planned", "outputs": [])"),
                      "unknown value \"Planned\""},
        DecodeFailure{"FormatYaml", harnessWith(R"("id": "h", "displayName": "H", "vendor": "V",
                                     "status": "planned", "outputs": [{"id": "o", "path": "/x",
                                     "format": "yaml"}])"),
                      "harnesses[0].outputs[0].format: unknown value \"yaml\""},
        DecodeFailure{"FormatCase", harnessWith(R"("id": "h", "displayName": "H", "vendor": "V",
                                     "status": "planned", "outputs": [{"id": "o", "path": "/x",
                                     "format": "JSON"}])"),
                      "unknown value \"JSON\""},
        DecodeFailure{"DocumentationString", document(R"("documentation": "d", )"),
                      "harnesses[0].documentation: expected an array, found string"},
        DecodeFailure{"DocumentationObject", document(R"("documentation": {}, )"),
                      "documentation: expected an array, found object"},
        DecodeFailure{"DocumentationElement", document(R"("documentation": ["a", 2], )"),
                      "harnesses[0].documentation[1]: expected a string, found number"},
        DecodeFailure{"DocumentationNullElement", document(R"("documentation": [null], )"),
                      "documentation[0]: expected a string, found null"},
        DecodeFailure{"DetectNotObject", document(R"("detect": [], )"),
                      "harnesses[0].detect: expected an object"},
        DecodeFailure{"DetectListWrong", document(R"("detect": {"executables": [true]}, )"),
                      "harnesses[0].detect.executables[0]: expected a string, found boolean"},
        DecodeFailure{"ModeNumber", document("", R"(, "mode": 644)"),
                      "outputs[0].mode: expected a string"},
        DecodeFailure{"MergeRulesObject", document("", R"(, "mergeRules": {})"),
                      "mergeRules: expected an array"},
        DecodeFailure{"MergeRulePathMissing", document("", R"(, "mergeRules": [{}])"),
                      "mergeRules[0]: missing key \"path\""},
        DecodeFailure{"StrategyUnknown",
                      document("", R"(, "mergeRules": [{"path": "a", "strategy": "merge"}])"),
                      "mergeRules[0].strategy: unknown value \"merge\""},
        DecodeFailure{"OrderElement",
                      document("", R"(, "mergeRules": [{"path": "a", "order": [1]}])"),
                      "mergeRules[0].order[0]: expected a string"},
        DecodeFailure{"ForbiddenKeysString", document("", R"(, "forbiddenKeys": "a")"),
                      "forbiddenKeys: expected an array"}),
    [](const auto& param) { return std::string(param.param.name); });

// The whole message for a text that is none of an enumeration's: the known texts are named in
// the order the enumeration declares them, quoted, comma-separated.
TEST(CatalogDecodeTest, AnUnknownTextNamesEveryKnownOneInOrder) {
  const struct {
    std::string bytes;
    const char* message;
  } cases[] = {
      {harnessWith(R"("id": "h", "displayName": "H", "vendor": "V", "status": "beta",
                      "outputs": [])"),
       "cannot decode catalog: harnesses[0].status: unknown value \"beta\" (expected one of "
       "\"supported\", \"experimental\", \"planned\")"},
      {harnessWith(R"("id": "h", "displayName": "H", "vendor": "V", "status": "planned",
                      "outputs": [{"id": "o", "path": "/x", "format": "yaml"}])"),
       "cannot decode catalog: harnesses[0].outputs[0].format: unknown value \"yaml\" (expected "
       "one of \"json\", \"toml\", \"plist\")"},
      {document("", R"(, "mergeRules": [{"path": "a", "strategy": "Union"}])"),
       "cannot decode catalog: harnesses[0].outputs[0].mergeRules[0].strategy: unknown value "
       "\"Union\" (expected one of \"union\", \"replace\", \"anyTrue\", \"anyFalse\", \"min\", "
       "\"max\", \"intersect\", \"strictest\")"},
  };
  for (const auto& [bytes, message] : cases) {
    try {
      Catalog::decode(bytes);
      ADD_FAILURE() << "decoded " << bytes;
    } catch (const Catalog::DecodeError& error) {
      EXPECT_STREQ(error.what(), message);
    }
  }
}

TEST(CatalogDecodeTest, SchemaVersionIsCheckedBeforeValidation) {
  const std::string text = R"({"schemaVersion": 3, "catalogVersion": "1", "harnesses": [
      {"id": "x", "displayName": "", "vendor": "", "status": "supported", "outputs": []},
      {"id": "x", "displayName": "", "vendor": "", "status": "supported", "outputs": []}]})";
  const auto error = test::thrown<TavraError>([&] { Catalog::decode(text); });
  ASSERT_TRUE(error);
  EXPECT_EQ(*error, TavraError::catalog("catalog schemaVersion 3 is newer than supported 2"));
  EXPECT_STREQ(error->what(), "catalog: catalog schemaVersion 3 is newer than supported 2");
}

TEST(CatalogDecodeTest, DecodeRunsValidation) {
  const std::string text = R"({"schemaVersion": 2, "catalogVersion": "1", "harnesses": [
      {"id": "x", "displayName": "", "vendor": "", "status": "supported", "outputs": []},
      {"id": "x", "displayName": "", "vendor": "", "status": "supported", "outputs": []}]})";
  EXPECT_EQ(test::tavraErrorDescription(TavraError::Case::catalog, [&] { Catalog::decode(text); }),
            "catalog: duplicate harness id x");
}

using test::harness;
using test::output;

struct ValidationCase {
  const char* name;
  std::vector<Harness> harnesses;
  const char* message;  // empty: valid
};

class CatalogValidateTest : public ::testing::TestWithParam<ValidationCase> {};

TEST_P(CatalogValidateTest, ReportsTheFirstFailure) {
  Catalog catalog{2, "1", GetParam().harnesses};
  if (std::string(GetParam().message).empty()) {
    EXPECT_NO_THROW(catalog.validate());
    return;
  }
  EXPECT_EQ(test::tavraErrorMessage(TavraError::Case::catalog, [&] { catalog.validate(); }),
            GetParam().message);
}

const MergeRule strictestWithout{"a.b", MergeRule::Strategy::strictest};
const MergeRule strictestEmpty{
    "a.b", MergeRule::Strategy::strictest, {}, {}, std::vector<std::string>{}};
const MergeRule strictestWith{
    "a.b", MergeRule::Strategy::strictest, {}, {}, std::vector<std::string>{"high"}};

INSTANTIATE_TEST_SUITE_P(
    Cases, CatalogValidateTest,
    ::testing::Values(
        ValidationCase{"Empty", {}, ""},
        ValidationCase{"DuplicateHarness",
                       {harness("x"), harness("y"), harness("x")},
                       "duplicate harness id x"},
        ValidationCase{"DuplicateOutput",
                       {harness("h", {output("o"), output("o")})},
                       "duplicate output id o in h"},
        ValidationCase{"SameOutputInTwoHarnesses",
                       {harness("h", {output("o")}), harness("g", {output("o")})},
                       ""},
        ValidationCase{"RelativePath",
                       {harness("h", {output("o", "etc/x.toml")})},
                       "h/o: path must be absolute"},
        ValidationCase{
            "EmptyPath", {harness("h", {output("o", "")})}, "h/o: path must be absolute"},
        ValidationCase{"RootPath", {harness("h", {output("o", "/")})}, ""},
        ValidationCase{"StrictestWithoutOrder",
                       {harness("h", {Output{.id = "o",
                                             .path = "/x",
                                             .mergeRules = std::vector{strictestWithout}}})},
                       "h/o: strictest rule for a.b needs an order"},
        ValidationCase{
            "StrictestEmptyOrder",
            {harness("h",
                     {Output{.id = "o", .path = "/x", .mergeRules = std::vector{strictestEmpty}}})},
            "h/o: strictest rule for a.b needs an order"},
        ValidationCase{
            "StrictestWithOrder",
            {harness("h",
                     {Output{.id = "o", .path = "/x", .mergeRules = std::vector{strictestWith}}})},
            ""},
        ValidationCase{
            "OtherRulesUnchecked",
            {harness("h",
                     {Output{.id = "o",
                             .path = "/x",
                             .mergeRules = std::vector{MergeRule{"a"},
                                                       MergeRule{"", MergeRule::Strategy::min}}}})},
            ""},
        // Within one output the strictest rule is reported before its duplicate id and path.
        ValidationCase{
            "StrictestBeforeDuplicate",
            {harness("h", {output("o"), Output{.id = "o",
                                               .path = "rel",
                                               .mergeRules = std::vector{strictestWithout}}})},
            "h/o: strictest rule for a.b needs an order"},
        ValidationCase{"DuplicateBeforeRelativePath",
                       {harness("h", {output("o"), output("o", "rel")})},
                       "duplicate output id o in h"},
        ValidationCase{"HarnessOrderDecides",
                       {harness("h", {output("o", "rel")}), harness("h")},
                       "h/o: path must be absolute"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(CatalogTest, HarnessLookup) {
  Catalog catalog{2, "1", {harness("a"), harness("b"), harness("a", {output("second")})}};
  ASSERT_TRUE(catalog.harness("a"));
  EXPECT_TRUE(catalog.harness("a")->outputs.empty());  // the first match wins
  EXPECT_EQ(catalog.harness("b")->id, "b");
  EXPECT_FALSE(catalog.harness("c"));
  EXPECT_FALSE(catalog.harness("A"));
}

TEST(CatalogTest, FileMode) {
  const std::pair<std::optional<std::string>, std::uint16_t> cases[] = {
      {"644", 0644},
      {"0644", 0644},
      {"+644", 0644},
      {"600", 0600},
      {"0755", 0755},
      {"4755", 04755},
      {"177777", 0177777},
      {"", 0644},
      {std::nullopt, 0644},
      {"rw-r--r--", 0644},
      {"0o600", 0644},
      {" 600", 0644},
      {"9", 0644},
      {"1000000", 0644},
      {"-0", 0},
      {"-600", 0644},
      {"+", 0644},
      {"-", 0644},
      {"600 ", 0644},
      {"99999999999999999999999", 0644}};
  for (const auto& [mode, expected] : cases) {
    SCOPED_TRACE(mode.value_or("(absent)"));
    Output o;
    o.mode = mode;
    EXPECT_EQ(o.fileMode(), expected);
  }
}

TEST(CatalogTest, CompareCatalogVersions) {
  using std::strong_ordering;
  const std::tuple<const char*, const char*, strong_ordering> cases[] = {
      {"1.10", "1.9", strong_ordering::greater},
      {"1.9", "1.10", strong_ordering::less},
      {"1.0", "1", strong_ordering::equal},
      {"1.0-beta", "1.0", strong_ordering::equal},
      {"2026.01.05", "2026.1.5", strong_ordering::equal},
      {"1..2", "1.2", strong_ordering::equal},
      {".1.2.", "1.2", strong_ordering::equal},
      {"rc2", "1", strong_ordering::less},
      {"", "0", strong_ordering::equal},
      {"", "", strong_ordering::equal},
      {"2026.1.5", "2026.1.6", strong_ordering::less},
      {"-1", "0", strong_ordering::less},
      {"+3", "3", strong_ordering::equal},
      {"99999999999999999999", "0", strong_ordering::equal},  // overflow counts as 0
      {"1.2.3.1", "1.2.3", strong_ordering::greater},
  };
  for (const auto& [a, b, expected] : cases) {
    SCOPED_TRACE(std::string(a) + " vs " + b);
    EXPECT_EQ(compareCatalogVersions(a, b), expected);
  }
}

TEST(CatalogTest, RawTexts) {
  EXPECT_EQ(fromRawValue<Harness::Status>("planned"), Harness::Status::planned);
  EXPECT_EQ(fromRawValue<Harness::Status>("Planned"), std::nullopt);
  EXPECT_EQ(fromRawValue<Output::Format>("plist"), Output::Format::plist);
  EXPECT_EQ(fromRawValue<Output::Format>("yaml"), std::nullopt);
  EXPECT_EQ(rawValue(Output::Format::toml), "toml");
  EXPECT_EQ(rawValue(Harness::Status::experimental), "experimental");
  EXPECT_EQ(rawValue(MergeRule::Strategy::union_), "union");
  EXPECT_EQ(fromRawValue<MergeRule::Strategy>("anyFalse"), MergeRule::Strategy::anyFalse);
  EXPECT_EQ(fromRawValue<MergeRule::Strategy>("Union"), std::nullopt);
}

TEST(CatalogEncodeTest, WritesTheFieldsInTheirOwnOrderCompactWithSlashesEscaped) {
  Catalog catalog{2, "2026.1.5", {harness("h", {output("o", "/etc/o.toml")})}};
  catalog.harnesses[0].status = Harness::Status::planned;
  catalog.harnesses[0].outputs[0].format = Output::Format::toml;
  EXPECT_EQ(catalog.encode(),
            R"({"schemaVersion":2,"catalogVersion":"2026.1.5","harnesses":[{"id":"h",)"
            R"("displayName":"The h","vendor":"Example","status":"planned","outputs":[{"id":"o",)"
            R"("path":"\/etc\/o.toml","format":"toml"}]}]})");

  // Every field present: each record's keys in declaration order, absent ones left out.
  Harness& h = catalog.harnesses[0];
  h.notes = "n/1";
  h.documentation = std::vector<std::string>{"https://d"};
  h.conflictingPreferenceDomains = std::vector<std::string>{};
  h.lastReviewed = "r";
  h.detect = Detection{std::vector<std::string>{"a"}, std::vector<std::string>{"/bin/e"},
                       std::nullopt, std::vector<std::string>{"~/.c"}};
  Output& o = h.outputs[0];
  o.description = "d\t\"q\"";
  o.mode = "600";
  MergeRule rule{"p.q"};
  rule.strategy = MergeRule::Strategy::strictest;
  rule.denies = "x";
  rule.matchField = "name";
  rule.order = std::vector<std::string>{"hi", "lo"};
  o.mergeRules = std::vector<MergeRule>{rule, MergeRule{"z"}};
  o.jsonEncodedKeys = std::vector<std::string>{"j"};
  o.forbiddenKeys = std::vector<std::string>{"f"};
  o.internalKeys = std::vector<std::string>{"i"};
  EXPECT_EQ(catalog.encode(),
            R"({"schemaVersion":2,"catalogVersion":"2026.1.5","harnesses":[{"id":"h",)"
            R"("displayName":"The h","vendor":"Example","status":"planned","outputs":[{"id":"o",)"
            R"("path":"\/etc\/o.toml","format":"toml","description":"d\t\"q\"","mode":"600",)"
            R"("mergeRules":[{"path":"p.q","strategy":"strictest","denies":"x",)"
            R"("matchField":"name","order":["hi","lo"]},{"path":"z"}],"jsonEncodedKeys":["j"],)"
            R"("forbiddenKeys":["f"],"internalKeys":["i"]}],"notes":"n\/1",)"
            R"("documentation":["https:\/\/d"],"conflictingPreferenceDomains":[],)"
            R"("lastReviewed":"r","detect":{"appBundleIDs":["a"],"executables":["\/bin\/e"],)"
            R"("userConfigPaths":["~\/.c"]}}]})");
  EXPECT_EQ(Catalog::decode(catalog.encode()), catalog);
}

// The encoder's default form as python's own encoder gives it for the same members in the same
// order: compact separators, "/" escaped (python leaves it, so it is escaped here alike).
TEST(CatalogEncodeTest, MatchesAnIndependentEncoder) {
  if (!test::pythonHas({"json"})) GTEST_SKIP() << "python3 is not available";
  // Members written in the records' field order, so python's order is the encoder's.
  const std::string text = R"({"schemaVersion": 2, "catalogVersion": "2026.1.5", "harnesses": [
    {"id": "h", "displayName": "H\u00e9 \u0007\u001f", "vendor": "V", "status": "supported",
     "outputs": [{"id": "o", "path": "/etc/h.json", "format": "json", "mode": "0600",
                  "mergeRules": [{"path": "a", "strategy": "union"}]}],
     "notes": "<a/b> \"q\" \\", "detect": {"processNames": ["p"]}}]})";
  const test::PythonResult check = test::runPython(R"PY(
import json, sys
doc = json.loads(sys.argv[1])
print(json.dumps(doc, separators=(',', ':'), ensure_ascii=False).replace('/', '\\/'))
)PY",
                                                   {text});
  EXPECT_EQ(check.output, Catalog::decode(text).encode() + "\n");
}

TEST(CatalogEncodeTest, RoundTripsEveryField) {
  const std::string text = document(
      R"("notes": "n", "documentation": [], "conflictingPreferenceDomains": ["c"],
         "lastReviewed": "r", "detect": {"processNames": ["p"]}, )",
      R"(, "description": "d", "mode": "600", "jsonEncodedKeys": ["j"], "forbiddenKeys": [],
          "internalKeys": ["i"], "mergeRules": [{"path": "a", "strategy": "union"},
          {"path": "b", "denies": "c", "matchField": "m", "order": ["x"]}])");
  Catalog catalog = Catalog::decode(text);
  EXPECT_EQ(Catalog::decode(catalog.encode()), catalog);
  EXPECT_EQ(Catalog::decode(json::write(catalog.toValue(), {.pretty = true})), catalog);
  EXPECT_EQ(catalog.toValue(), Value::parseJSON(text));
  // A detection with no lists is written as an empty object, not dropped.
  catalog.harnesses[0].detect = Detection{};
  EXPECT_EQ(*catalog.toValue().lookup("harnesses")->asArray()->front().lookup("detect"),
            Value(Value::Object{}));
}

}  // namespace
}  // namespace tavra
