#include "tavra/profile_builder.h"

#include <gtest/gtest.h>

#include "support/catalog_fixtures.h"
#include "support/python.h"
#include "support/services.h"
#include "support/tavra_error.h"
#include "support/temp_tree.h"
#include "tavra/catalog.h"
#include "tavra/error.h"
#include "tavra/json.h"
#include "tavra/plist.h"

namespace tavra {
namespace {

constexpr std::string_view kTeam = "com.zelkorandin.tavra.policy.team";

std::vector<ProfileBuilder::FragmentPayload> payloadsOf(const std::string& path) {
  return ProfileBuilder::fragmentPayloads(*test::files(), path);
}

TEST(ProfileBuilderTest, StableUUIDIsNameBasedAndWellFormed) {
  // Reference values computed independently (SHA-256 of the namespaced text, version and
  // variant bits set).
  EXPECT_EQ(ProfileBuilder::stableUUID("com.zelkorandin.tavra.policy.team.profile"),
            "A02EFBC7-9452-5D8A-AFDA-E969FF99801C");
  EXPECT_EQ(ProfileBuilder::stableUUID(""), "1353D524-3E39-59BC-8A63-0AE2AEA51A4C");
  for (const char* text : {"a", "b", "com.zelkorandin.tavra.payload", "\u00e9\u00e8", "x y z"}) {
    const std::string uuid = ProfileBuilder::stableUUID(text);
    EXPECT_EQ(uuid, ProfileBuilder::stableUUID(text));
    ASSERT_EQ(uuid.size(), 36u);
    for (std::size_t i : {8u, 13u, 18u, 23u}) EXPECT_EQ(uuid[i], '-') << uuid;
    EXPECT_EQ(uuid[14], '5') << uuid;
    EXPECT_NE(std::string_view("89AB").find(uuid[19]), std::string_view::npos) << uuid;
    EXPECT_EQ(uuid.find_first_not_of("0123456789ABCDEF-"), std::string::npos) << uuid;
  }
  EXPECT_NE(ProfileBuilder::stableUUID("a"), ProfileBuilder::stableUUID("b"));
}

TEST(ProfileBuilderTest, NonObjectPayloadIsRefused) {
  for (const Value& payload : {Value("x"), Value(Value::Array{}), Value(1)}) {
    EXPECT_EQ(
        test::tavraErrorDescription(TavraError::Case::fragment,
                                    [&] { ProfileBuilder::mobileconfig(kTeam, payload, "Team"); }),
        "policy fragment: payload must be a dictionary");
  }
}

TEST(ProfileBuilderTest, WriterErrorsPassThrough) {
  // XML cannot carry most control characters; the writer's own error reaches the caller.
  const Value payload = Value::Object{{"Bad", Value("bell\x07")}};
  EXPECT_THROW(ProfileBuilder::mobileconfig(kTeam, payload, "Team"), plist::WriteError);
}

TEST(ProfileBuilderTest, MobileconfigIsByteStable) {
  const Value payload = Value::Object{{"Priority", Value(1)}, {"Harnesses", Value::Object{}}};
  const std::string first = ProfileBuilder::mobileconfig(kTeam, payload, "Team", "Org");
  EXPECT_EQ(first, ProfileBuilder::mobileconfig(kTeam, payload, "Team", "Org"));
  EXPECT_TRUE(first.starts_with("<?xml")) << first;
  EXPECT_NE(first, ProfileBuilder::mobileconfig(kTeam, payload, "Team", std::nullopt));
}

// Checks a profile with python3's plistlib: prints what the test then compares.
constexpr std::string_view kInspectProfile = R"PY(
import plistlib, sys, uuid
with open(sys.argv[1], 'rb') as f:
    data = f.read()
assert data.startswith(b'<?xml'), 'not an XML property list'
p = plistlib.loads(data, fmt=plistlib.FMT_XML)
for key in ('PayloadContent', 'PayloadDisplayName', 'PayloadIdentifier', 'PayloadType',
            'PayloadUUID', 'PayloadVersion', 'PayloadScope'):
    assert key in p, key
assert p['PayloadType'] == 'Configuration'
assert type(p['PayloadVersion']) is int and p['PayloadVersion'] == 1
assert isinstance(p['PayloadContent'], list) and len(p['PayloadContent']) == 1
inner = p['PayloadContent'][0]
for key in ('PayloadType', 'PayloadIdentifier', 'PayloadUUID', 'PayloadVersion',
            'PayloadDisplayName'):
    assert key in inner, key
assert type(inner['PayloadVersion']) is int and inner['PayloadVersion'] == 1
for u in (p['PayloadUUID'], inner['PayloadUUID']):
    parsed = uuid.UUID(u)
    assert str(parsed).upper() == u and parsed.version == 5 and parsed.variant == uuid.RFC_4122
assert p['PayloadUUID'] != inner['PayloadUUID']
print(p['PayloadIdentifier'], inner['PayloadIdentifier'], inner['PayloadType'], p['PayloadScope'])
print(p.get('PayloadOrganization', '<none>'), p.get('PayloadDescription', '<none>'),
      p['PayloadDisplayName'], inner['PayloadDisplayName'])
print(inner['Priority'], type(inner['Ratio']).__name__, inner['Flag'], inner['Harnesses']['claude']['settings']['list'])
)PY";

TEST(ProfileBuilderTest, MobileconfigHasTheStructureAnMDMServerExpects) {
  if (!test::pythonHas({"plistlib"})) GTEST_SKIP() << "python3 with plistlib not available";
  const Value payload = Value::Object{
      {"Priority", Value(7)},
      {"Ratio", Value(2.0)},
      {"Flag", Value(true)},
      {"PayloadType", Value("com.other")},
      {"PayloadVersion", Value(9)},
      {"Harnesses",
       Value::Object{
           {"claude",
            Value::Object{
                {"settings",
                 Value::Object{{"list", Value(Value::Array{Value("a<&>"), Value("\u00e9")})}}}}}}},
  };
  test::TempTree tree;
  const std::string file =
      tree.write("team.mobileconfig",
                 ProfileBuilder::mobileconfig(kTeam, payload, "Team \u00e9", "Org", std::string()));
  const test::PythonResult result = test::runPython(kInspectProfile, {file});
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(result.output, std::string(kTeam) + ".profile " + std::string(kTeam) + ".payload " +
                               std::string(kTeam) + " System\n" + "Org  Team \u00e9 Team \u00e9\n" +
                               "7 float True ['a<&>', '\u00e9']\n");

  const std::string bare =
      tree.write("bare.mobileconfig", ProfileBuilder::mobileconfig(kTeam, payload, "Team"));
  const test::PythonResult bareResult = test::runPython(kInspectProfile, {bare});
  ASSERT_EQ(bareResult.status, 0) << bareResult.output;
  EXPECT_NE(bareResult.output.find("\n<none> <none> Team Team\n"), std::string::npos)
      << bareResult.output;
}

TEST(ProfileBuilderTest, MobileconfigReadsBackAsItsPayload) {
  const Value payload = Value::Object{{"Harnesses", Value::Object{}}, {"Priority", Value(2)}};
  const Value profile = Value::parsePlist(ProfileBuilder::mobileconfig(kTeam, payload, "Team"));
  const Value::Object& outer = *profile.asObject();
  EXPECT_EQ(outer.at("PayloadIdentifier"), Value(std::string(kTeam) + ".profile"));
  EXPECT_EQ(outer.at("PayloadUUID"),
            Value(ProfileBuilder::stableUUID(std::string(kTeam) + ".profile")));
  EXPECT_EQ(outer.count("PayloadOrganization"), 0u);
  EXPECT_EQ(outer.count("PayloadDescription"), 0u);
  const Value::Object& inner = *outer.at("PayloadContent").asArray()->at(0).asObject();
  EXPECT_EQ(inner.at("PayloadUUID"),
            Value(ProfileBuilder::stableUUID(std::string(kTeam) + ".payload")));
  EXPECT_EQ(inner.at("Priority"), Value(2));
}

class FragmentPayloadsTest : public ::testing::Test {
 protected:
  test::TempTree tree;
};

TEST_F(FragmentPayloadsTest, ProfileYieldsItsPolicyPayloadsWithoutPayloadKeys) {
  const Value policy = Value::Object{
      {"PayloadType", Value("com.zelkorandin.tavra.policy.base")},
      {"PayloadUUID", Value("U")},
      {"PayloadIdentifier", Value("I")},
      {"PayloadVersion", Value(1)},
      {"PayloadDisplayName", Value("D")},
      {"PayloadOrganizationX", Value("gone too")},
      {"Priority", Value(4)},
      {"payloadLower", Value("kept")},
      {"Harnesses", Value::Object{}},
  };
  const Value profile = Value::Object{
      {"PayloadType", Value("Configuration")},
      {"PayloadContent",
       Value::Array{
           Value::Object{{"PayloadType", Value("com.apple.dock")}, {"x", Value(1)}},
           policy,
           Value::Object{{"PayloadType", Value("com.zelkorandin.tavra")}},
           Value("not a payload"),
           Value::Object{},
           Value::Object{{"PayloadType", Value(5)}},
       }},
  };
  const std::string file = tree.write("profile.json", json::write(profile));
  const auto pairs = payloadsOf(file);
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_EQ(pairs[0].domain, "com.zelkorandin.tavra.policy.base");
  EXPECT_EQ(pairs[0].value, Value(Value::Object{{"Priority", Value(4)},
                                                {"payloadLower", Value("kept")},
                                                {"Harnesses", Value::Object{}}}));
}

TEST_F(FragmentPayloadsTest, ProfilesKeepDocumentOrderAndMayYieldNothing) {
  auto policy = [](const char* name) {
    return Value::Object{
        {"PayloadType", Value(std::string("com.zelkorandin.tavra.policy.") + name)}};
  };
  const std::string two = tree.write(
      "two.json",
      json::write(Value::Object{{"PayloadContent", Value::Array{policy("z"), policy("a")}}}));
  const auto pairs = payloadsOf(two);
  ASSERT_EQ(pairs.size(), 2u);
  EXPECT_EQ(pairs[0].domain, "com.zelkorandin.tavra.policy.z");
  EXPECT_EQ(pairs[1].domain, "com.zelkorandin.tavra.policy.a");
  EXPECT_EQ(pairs[1].value, Value(Value::Object{}));

  const std::string none =
      tree.write("none.json", R"({"PayloadContent":[{"PayloadType":"com.apple.x"}]})");
  EXPECT_TRUE(payloadsOf(none).empty());
}

TEST_F(FragmentPayloadsTest, PlainPayloadsTakeTheirDomainFromTheFileName) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"base.json", "com.zelkorandin.tavra.policy.base"},
      {"com.zelkorandin.tavra.policy.base.json", "com.zelkorandin.tavra.policy.base"},
      {"dir.d/team.v2.json", "com.zelkorandin.tavra.policy.team.v2"},
  };
  const std::string body = R"({"Payload":"kept","PayloadContent":{"not":"an array"}})";
  for (const auto& [name, domain] : cases) {
    const std::string file = tree.write(name, body);
    const auto pairs = payloadsOf(file);
    ASSERT_EQ(pairs.size(), 1u) << name;
    EXPECT_EQ(pairs[0].domain, domain) << name;
    EXPECT_EQ(pairs[0].value, Value::parseJSON(body)) << name;
  }
}

TEST_F(FragmentPayloadsTest, TopLevelFragmentsAndEmptyObjectsArePlainPayloads) {
  const auto text = payloadsOf(tree.write("s.json", " \"just text\" "));
  ASSERT_EQ(text.size(), 1u);
  EXPECT_EQ(text[0].value, Value("just text"));
  const auto empty = payloadsOf(tree.write("e.json", "{}"));
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_EQ(empty[0], (ProfileBuilder::FragmentPayload{"com.zelkorandin.tavra.policy.e",
                                                       Value(Value::Object{})}));
}

TEST_F(FragmentPayloadsTest, PropertyListFiles) {
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
      "<key>Priority</key><integer>2</integer><key>Harnesses</key><dict/></dict></plist>\n";
  // Only a ".json" ending (in lower case) selects the JSON reader.
  for (const char* name : {"base.plist", "x.mobileconfig", "com.zelkorandin.tavra.policy.c.plist",
                           "base.JSON", "noext"}) {
    const auto pairs = payloadsOf(tree.write(name, xml));
    ASSERT_EQ(pairs.size(), 1u) << name;
    EXPECT_EQ(pairs[0].value.asObject()->at("Priority"), Value(2)) << name;
  }
  EXPECT_EQ(payloadsOf(tree.path("x.mobileconfig"))[0].domain, "com.zelkorandin.tavra.policy.x");
  EXPECT_EQ(payloadsOf(tree.path("noext"))[0].domain, "com.zelkorandin.tavra.policy.noext");
  EXPECT_EQ(payloadsOf(tree.path("com.zelkorandin.tavra.policy.c.plist"))[0].domain,
            "com.zelkorandin.tavra.policy.c");

  // A profile built here reads back as the one fragment it holds.
  const Value payload = Value::Object{{"Harnesses", Value::Object{}}, {"PolicyID", Value("p")}};
  const std::string profile =
      tree.write("team.mobileconfig", ProfileBuilder::mobileconfig(kTeam, payload, "Team"));
  EXPECT_EQ(payloadsOf(profile),
            (std::vector<ProfileBuilder::FragmentPayload>{{std::string(kTeam), payload}}));
}

TEST_F(FragmentPayloadsTest, Failures) {
  const std::string missing = tree.path("missing.json");
  const std::string folder = tree.mkdir("folder.json");
  for (const std::string& path : {missing, folder}) {
    EXPECT_EQ(test::tavraErrorDescription(TavraError::Case::io, [&] { payloadsOf(path); }),
              "io: cannot read " + path)
        << path;
  }
  EXPECT_THROW(payloadsOf(tree.write("bad.json", "{")), Value::ReadError);
  EXPECT_THROW(payloadsOf(tree.write("bad.plist", "{")), Value::ReadError);
  EXPECT_THROW(payloadsOf(tree.write("null.json", R"({"a":[null]})")), Value::ConversionError);
}

using test::harness;
using test::output;

std::string harnessesDescription(const Value& schema) {
  return *schema.lookup(KeyPath::fromComponents({"properties", "HarnessesJSON", "description"}))
              ->asString();
}

TEST(JamfSchemaTest, FragmentSchemaListsHarnessesThatAreNotPlanned) {
  Catalog catalog;
  catalog.schemaVersion = 2;
  catalog.catalogVersion = "1";
  catalog.harnesses = {harness("h1", {output("a"), output("b")}),
                       harness("p", {output("x")}, Harness::Status::planned),
                       harness("h2", {output("c")}, Harness::Status::experimental),
                       harness("h3", {})};
  EXPECT_EQ(harnessesDescription(ProfileBuilder::jamfFragmentSchema(&catalog)),
            "JSON object: harness id -> output id -> native settings. Available: h1: a, b; h2: c; "
            "h3: . Secret values may be TAVRA-ENC:v1 envelopes.");

  const std::string empty =
      "JSON object: harness id -> output id -> native settings. Available: . Secret values may "
      "be TAVRA-ENC:v1 envelopes.";
  EXPECT_EQ(harnessesDescription(ProfileBuilder::jamfFragmentSchema(nullptr)), empty);
  Catalog planned = catalog;
  planned.harnesses = {harness("p", {output("x")}, Harness::Status::planned)};
  EXPECT_EQ(harnessesDescription(ProfileBuilder::jamfFragmentSchema(&planned)), empty);
}

TEST(JamfSchemaTest, FragmentSchemaProperties) {
  const Value schema = ProfileBuilder::jamfFragmentSchema(nullptr);
  EXPECT_EQ(schema.asObject()->size(), 3u);
  EXPECT_EQ(schema.asObject()->at("title"), Value("Tavra policy fragment"));
  const Value::Object& properties = *schema.asObject()->at("properties").asObject();
  std::vector<std::string> keys;
  for (const auto& [key, unused] : properties) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"Description", "Enabled", "HarnessesJSON", "PolicyID",
                                            "Priority"}));
  EXPECT_EQ(properties.at("Priority").asObject()->at("default"), Value(0));
  EXPECT_EQ(properties.at("Enabled").asObject()->at("default"), Value(true));
  EXPECT_EQ(properties.at("HarnessesJSON").asObject()->at("format"), Value("textarea"));
  EXPECT_EQ(json::write(properties.at("HarnessesJSON").asObject()->at("options")),
            R"({"inputAttributes":{"rows":20}})");
  EXPECT_EQ(json::write(properties.at("Description")),
            R"({"title":"Description","type":"string"})");
}

TEST(JamfSchemaTest, SettingsSchemaCoversEverySettingsKey) {
  const Value schema = ProfileBuilder::jamfSettingsSchema();
  EXPECT_EQ(schema.asObject()->count("type"), 0u);
  const Value::Object& properties = *schema.asObject()->at("properties").asObject();
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"AdditionalAllowedPaths", "array"},
      {"CatalogPinnedVersion", "string"},
      {"CatalogRefreshInterval", "integer"},
      {"CatalogTrustedKeys", "array"},
      {"CatalogURL", "string"},
      {"DisabledHarnesses", "array"},
      {"DryRun", "boolean"},
      {"ReapplyInterval", "integer"},
  };
  ASSERT_EQ(properties.size(), expected.size());
  for (const auto& [key, type] : expected) {
    const Value::Object& property = *properties.at(key).asObject();
    EXPECT_EQ(property.at("type"), Value(type)) << key;
    EXPECT_EQ(property.count("title"), 1u) << key;
    EXPECT_EQ(property.count("description"), 1u) << key;
    EXPECT_EQ(property.count("items"), type == "array" ? 1u : 0u) << key;
  }
  EXPECT_EQ(
      json::write(properties.at("DryRun")),
      R"({"description":"Compute and report only; never write.","title":"Dry run","type":"boolean"})");
}

// Both schemas whole, every text as the administrator sees it in the form.
TEST(JamfSchemaTest, SchemasHoldExactlyTheseTexts) {
  const Value fragment = Value::parseJSON(R"json({
    "title": "Tavra policy fragment",
    "description": "One Tavra policy fragment. Deploy each fragment with its own preference domain: com.zelkorandin.tavra.policy.<name>.",
    "properties": {
      "PolicyID": {"title": "Policy ID", "type": "string",
                   "description": "Name shown in reports. Defaults to the domain suffix."},
      "Priority": {"title": "Priority", "type": "integer", "default": 0,
                   "description": "Higher wins for single values. For restrictions, locks and denies the most restrictive value always wins; grant lists (e.g. MCP servers) are combined."},
      "Description": {"title": "Description", "type": "string"},
      "Enabled": {"title": "Enabled", "type": "boolean", "default": true},
      "HarnessesJSON": {"title": "Harness settings (JSON)", "type": "string",
                        "description": "JSON object: harness id -> output id -> native settings. Available: h1: a, b. Secret values may be TAVRA-ENC:v1 envelopes.",
                        "options": {"inputAttributes": {"rows": 20}}, "format": "textarea"}
    }
  })json");
  Catalog catalog;
  catalog.harnesses = {harness("h1", {output("a"), output("b")})};
  EXPECT_EQ(ProfileBuilder::jamfFragmentSchema(&catalog), fragment)
      << json::write(ProfileBuilder::jamfFragmentSchema(&catalog), {.pretty = true});

  const Value settings = Value::parseJSON(R"json({
    "title": "Tavra daemon settings",
    "description": "Settings for the Tavra daemon (preference domain com.zelkorandin.tavra).",
    "properties": {
      "ReapplyInterval": {"title": "Re-apply interval (seconds)", "type": "integer",
                          "description": "Default 900. Minimum 60."},
      "CatalogURL": {"title": "Catalog URL", "type": "string",
                     "description": "https URL of catalog.json; catalog.json.sig must sit next to it."},
      "CatalogPinnedVersion": {"title": "Pinned catalog version", "type": "string",
                               "description": "Only accept this catalog version."},
      "CatalogRefreshInterval": {"title": "Catalog refresh interval (seconds)", "type": "integer",
                                 "description": "Default 86400."},
      "CatalogTrustedKeys": {"title": "Additional catalog signing keys", "type": "array",
                             "description": "Base64 Ed25519 public keys (for an org mirror).",
                             "items": {"type": "string"}},
      "AdditionalAllowedPaths": {"title": "Additional allowed output paths", "type": "array",
                                 "description": "Absolute path prefixes (ending in /) Tavra may write to.",
                                 "items": {"type": "string"}},
      "DisabledHarnesses": {"title": "Disabled harnesses", "type": "array",
                            "description": "Harness ids Tavra must stop managing (outputs are restored/removed).",
                            "items": {"type": "string"}},
      "DryRun": {"title": "Dry run", "type": "boolean",
                 "description": "Compute and report only; never write."}
    }
  })json");
  EXPECT_EQ(ProfileBuilder::jamfSettingsSchema(), settings)
      << json::write(ProfileBuilder::jamfSettingsSchema(), {.pretty = true});
}

constexpr std::string_view kCheckSchema = R"PY(
import json, sys
from jsonschema import Draft7Validator, Draft202012Validator
with open(sys.argv[1]) as f:
    schema = json.load(f)
Draft7Validator.check_schema(schema)
Draft202012Validator.check_schema(schema)
v = Draft202012Validator(schema)
good, bad = json.loads(sys.argv[2]), json.loads(sys.argv[3])
assert v.is_valid(good), list(v.iter_errors(good))
assert not v.is_valid(bad)
print('ok')
)PY";

TEST(JamfSchemaTest, SchemasAreValidJSONSchemaDocuments) {
  if (!test::pythonHas({"jsonschema"})) GTEST_SKIP() << "python3 with jsonschema not available";
  Catalog catalog;
  catalog.harnesses = {harness("claude", {output("settings")})};
  struct Case {
    Value schema;
    const char* good;
    const char* bad;
  };
  const std::vector<Case> cases = {
      {ProfileBuilder::jamfFragmentSchema(&catalog),
       R"({"PolicyID":"x","Priority":3,"Enabled":false,"HarnessesJSON":"{}"})",
       R"({"Priority":"high"})"},
      {ProfileBuilder::jamfFragmentSchema(nullptr), "{}", R"({"Enabled":"yes"})"},
      {ProfileBuilder::jamfSettingsSchema(),
       R"({"ReapplyInterval":60,"DisabledHarnesses":["codex"],"DryRun":true})",
       R"({"CatalogTrustedKeys":[1]})"},
  };
  test::TempTree tree;
  for (const Case& c : cases) {
    const std::string file = tree.write("schema.json", json::write(c.schema, {.pretty = true}));
    const test::PythonResult result = test::runPython(kCheckSchema, {file, c.good, c.bad});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, "ok\n");
  }
}

}  // namespace
}  // namespace tavra
