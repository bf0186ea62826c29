// The catalog `simulate` installs into its folder: the given catalog with its paths moved below
// the folder, written as a JSON encoder in its default settings writes the record.
#include <gtest/gtest.h>

#include "fake_context.h"
#include "support/temp_tree.h"

namespace tavra::test {
namespace {

TEST(SimulateCatalogTest, IsWrittenCompactInFieldOrderWithSlashesEscaped) {
  TempTree tree;
  FakeContext fake;
  // Keys sorted and spread over lines in the file given: the bytes written follow the record.
  const std::string catalog = tree.write("catalog.json", R"({
    "catalogVersion": "3.1",
    "harnesses": [{"displayName": "Alpha Code", "id": "alpha", "notes": "a/b",
      "outputs": [{"format": "json", "id": "settings",
                   "mergeRules": [{"path": "permissions.deny", "strategy": "union"}],
                   "path": "/etc/alpha/settings.json"}],
      "status": "supported", "vendor": "Example"}],
    "schemaVersion": 2})");
  const std::string fragment = tree.write(
      "team.json", R"({"PolicyID":"team","Harnesses":{"alpha":{"settings":{"model":"m"}}}})");
  const std::string out = tree.path("out");
  const ToolResult result = fake.run({"simulate", "--catalog", catalog, "--out", out, fragment});
  ASSERT_EQ(result.status, 0) << result.errors;

  std::string escapedOut;
  for (const char c : out) {
    if (c == '/') escapedOut += '\\';
    escapedOut += c;
  }
  EXPECT_EQ(readFile(out + "/Library/Application Support/Tavra/catalog/catalog.json"),
            R"({"schemaVersion":2,"catalogVersion":"3.1","harnesses":[{"id":"alpha",)"
            R"("displayName":"Alpha Code","vendor":"Example","status":"supported",)"
            R"("outputs":[{"id":"settings","path":")" +
                escapedOut +
                R"(\/etc\/alpha\/settings.json","format":"json",)"
                R"("mergeRules":[{"path":"permissions.deny","strategy":"union"}]}],)"
                R"("notes":"a\/b"}]})");
}

}  // namespace
}  // namespace tavra::test
