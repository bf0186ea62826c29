// `schema`: the Jamf Pro schemas as pretty JSON, checked with python3's jsonschema; the catalog
// only names harnesses and is never required.
#include <gtest/gtest.h>

#include "fake_context.h"
#include "support/python.h"
#include "support/temp_tree.h"
#include "tavra/error.h"
#include "tavra/profile_builder.h"
#include "tavra/renderer.h"
#include "tool_fixtures.h"

namespace tavra::test {
namespace {

const std::string emptyHarnessList = "Available: . Secret values may be TAVRA-ENC:v1 envelopes.";

std::string harnessesDescription(const std::string& output) {
  const Value schema = Value::parseJSON(output);
  const Value* description = schema.lookup(KeyPath("properties.HarnessesJSON.description"));
  return description != nullptr && description->isString() ? *description->asString() : "";
}

class SchemaTest : public ::testing::Test {
 protected:
  TempTree tree;
  FakeContext fake;
};

TEST_F(SchemaTest, TheSettingsSchemaHasTheEightSettingsAndPassesTheMetaschema) {
  const ToolResult result =
      fake.run({"schema", "--settings", "--catalog", tree.path("ignored.json")});
  ASSERT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(result.output, Renderer::jsonString(ProfileBuilder::jamfSettingsSchema(), true) + "\n");
  EXPECT_TRUE(result.output.starts_with("{\n")) << "pretty";
  EXPECT_NE(result.output.find("(ending in /)"), std::string::npos) << "slashes unescaped";

  if (!pythonHas({"jsonschema"})) GTEST_SKIP() << "python3 with jsonschema is not available";
  const PythonResult checked = runPython(R"PY(
import json, sys, jsonschema
schema = json.loads(sys.stdin.read())
jsonschema.validators.validator_for(schema).check_schema(schema)
print(" ".join(sorted(schema["properties"])))
)PY",
                                         {}, result.output);
  EXPECT_EQ(checked.status, 0) << checked.output;
  EXPECT_EQ(checked.output,
            "AdditionalAllowedPaths CatalogPinnedVersion CatalogRefreshInterval CatalogTrustedKeys "
            "CatalogURL DisabledHarnesses DryRun ReapplyInterval\n");
}

TEST_F(SchemaTest, TheFragmentSchemaListsTheCatalogsHarnessesThatAreNotPlanned) {
  const std::string catalog = tree.write("catalog.json", toolCatalogJSON());
  const ToolResult result = fake.run({"schema", "--catalog", catalog});
  ASSERT_EQ(result.status, 0) << result.errors;
  EXPECT_NE(harnessesDescription(result.output)
                .find("Available: alpha: settings, extra; beta: config. Secret values"),
            std::string::npos)
      << result.output;

  if (!pythonHas({"jsonschema"})) GTEST_SKIP() << "python3 with jsonschema is not available";
  const PythonResult checked = runPython(R"PY(
import json, sys, jsonschema
schema = json.loads(sys.stdin.read())
jsonschema.validators.validator_for(schema).check_schema(schema)
payload = {"PolicyID": "team", "Priority": 2, "Enabled": True, "HarnessesJSON": "{}"}
jsonschema.validate(payload, schema)
print(" ".join(sorted(schema["properties"])))
)PY",
                                         {}, result.output);
  EXPECT_EQ(checked.status, 0) << checked.output;
  EXPECT_EQ(checked.output, "Description Enabled HarnessesJSON PolicyID Priority\n");
}

TEST_F(SchemaTest, AMissingOrBrokenCatalogLeavesTheListEmpty) {
  const std::vector<std::string> catalogs = {
      tree.path("missing.json"), tree.mkdir("folder.json"), tree.write("empty.json", ""),
      tree.write("binary.json", std::string("\x00\xFF", 2)),
      tree.write("newer.json", R"({"schemaVersion":3,"catalogVersion":"1","harnesses":[]})")};
  for (const std::string& catalog : catalogs) {
    const ToolResult result = fake.run({"schema", "--catalog", catalog});
    EXPECT_EQ(result.status, 0) << result.errors;
    EXPECT_TRUE(harnessesDescription(result.output).ends_with(emptyHarnessList)) << catalog;
  }
}

TEST_F(SchemaTest, WithoutACatalogOptionTheInstalledCatalogIsUsedWhenThereIsOne) {
  EXPECT_TRUE(harnessesDescription(fake.run({"schema"}).output).ends_with(emptyHarnessList));
  fake.context.installedCatalog = [] { return Catalog::decode(toolCatalogJSON()); };
  EXPECT_NE(harnessesDescription(fake.run({"schema"}).output).find("alpha: settings, extra"),
            std::string::npos);
  fake.context.installedCatalog = []() -> std::optional<Catalog> {
    throw TavraError::signature("catalog signature does not match any trusted key");
  };
  const ToolResult result = fake.run({"schema"});
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(harnessesDescription(result.output).ends_with(emptyHarnessList));
}

}  // namespace
}  // namespace tavra::test
