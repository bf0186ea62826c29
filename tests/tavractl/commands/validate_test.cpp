// `validate`: fragment files against the catalog's structure, every problem reported, status 1
// when there is any.
#include <gtest/gtest.h>

#include "fake_context.h"
#include "support/temp_tree.h"
#include "tavra/platform/crypto.h"
#include "tavra/plist.h"
#include "tavra/secret_envelope.h"
#include "tool_fixtures.h"

namespace tavra::test {
namespace {

const std::string domain = "com.zelkorandin.tavra.policy.";

class ValidateTest : public ::testing::Test {
 protected:
  ToolResult validate(const std::vector<std::string>& paths) {
    std::vector<std::string> words = {"validate"};
    words.insert(words.end(), paths.begin(), paths.end());
    words.insert(words.end(), {"--catalog", catalog});
    return fake.run(words);
  }
  void fragment(const std::string& name, const std::string& id, const std::string& harnesses) {
    tree.write("fragments/" + name, fragmentJSON(id, 0, harnesses));
  }

  TempTree tree;
  FakeContext fake;
  std::string catalog = tree.write("catalog.json", toolCatalogJSON());
  std::string fragments = tree.mkdir("fragments");
};

TEST_F(ValidateTest, ValidFragmentsGiveTheSuccessLine) {
  fragment("a.json", "a", R"({"alpha":{"settings":{"m":1},"extra":{}}})");
  fragment("b.json", "b", R"({"beta":{"config":{"k":"v"}}})");
  // Values are not examined and envelopes are not opened.
  fragment("c.json", "c",
           R"({"alpha":{"settings":{"token":")" +
               SecretEnvelope::encrypt("x", crypto::P256PrivateKey::generate().publicKey().x963()) +
               R"(","priority":"whatever"}}})");
  const ToolResult result = validate({fragments});
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(result.output, "\u2713 3 fragment(s) valid against catalog 3.1\n");
  EXPECT_EQ(result.output.substr(0, 4), "\xE2\x9C\x93 ");
}

TEST_F(ValidateTest, AnEmptyFolderIsValid) {
  const ToolResult result = validate({fragments});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, "\u2713 0 fragment(s) valid against catalog 3.1\n");
}

TEST_F(ValidateTest, ThreeFragmentsWithOneIdFromThreeDomainsAreTwoDuplicates) {
  for (const std::string name : {"d1", "d2", "d3"}) {
    fragment(name + ".json", "same", R"({"alpha":{"settings":{}}})");
  }
  const ToolResult result = validate({fragments});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, "\u2717 duplicate PolicyID same (" + domain + "d1, " + domain +
                               "d2)\n"
                               "\u2717 duplicate PolicyID same (" +
                               domain + "d2, " + domain + "d3)\n");
}

TEST_F(ValidateTest, UnknownPlannedAndUnknownOutputProblems) {
  // The unknown harness's outputs are not looked at; the planned one's still are.
  fragment("a.json", "f", R"({"zeta":{"anything":{}},"gamma":{"config":{},"nope":{}}})");
  fragment("b.json", "g", R"({"alpha":{"settings":{},"Settings":{},"extra":{}}})");
  const ToolResult result = validate({fragments});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output,
            "\u2717 f: harness gamma is planned, not yet supported\n"
            "\u2717 f: unknown output gamma.nope\n"
            "\u2717 f: unknown harness zeta\n"
            "\u2717 g: unknown output alpha.Settings\n");
}

TEST_F(ValidateTest, LoadErrorsComeFirstAndFailTheCheck) {
  fragment("a.json", "same", R"({"zeta":{}})");
  tree.write("fragments/b.plist",
             plist::writeXML(Value::parseJSON(fragmentJSON("same", 0, R"({"zeta":{}})"))));
  tree.write("fragments/c.json", R"({"Priority":"high","Harnesses":{}})");
  tree.write("fragments/d.json", std::string("\x00\xFF", 2));
  const ToolResult result = validate({fragments});
  EXPECT_EQ(result.status, 1);
  const std::vector<std::string> expectedStarts = {
      "\u2717 " + fragments + "/c.json: policy fragment: " + domain + "c: ",
      "\u2717 " + fragments + "/d.json: ",
      // Fragments in load order, each with its duplicate check before its harness checks.
      "\u2717 same: unknown harness zeta\n",
      "\u2717 duplicate PolicyID same (" + domain + "a, " + domain + "b)\n",
      "\u2717 same: unknown harness zeta\n",
  };
  std::size_t at = 0;
  for (const std::string& start : expectedStarts) {
    EXPECT_EQ(result.output.compare(at, start.size(), start), 0) << "at " << at << " in\n"
                                                                 << result.output;
    at = result.output.find('\n', at) + 1;
  }
  EXPECT_EQ(at, result.output.size());
}

TEST_F(ValidateTest, OneBadFileAmongGoodOnesFailsWithoutTheSuccessLine) {
  fragment("a.json", "a", R"({"alpha":{"settings":{}}})");
  const std::string empty = tree.write("fragments/b.json", "");
  const ToolResult result = validate({fragments});
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(result.output.starts_with("\u2717 " + empty + ": ")) << result.output;
  EXPECT_EQ(result.output.find("\u2713"), std::string::npos);
  EXPECT_EQ(result.errors, "");
}

TEST_F(ValidateTest, InputsThatEndItBeforeAnyCheck) {
  const std::string missing = tree.path("missing");
  ToolResult result = validate({fragments, missing});
  EXPECT_EQ(result.status, 64);
  EXPECT_TRUE(result.errors.starts_with("Error: " + missing + " not found\n")) << result.errors;

  result = fake.run({"validate", fragments});
  EXPECT_EQ(result.status, 64);
  EXPECT_TRUE(result.errors.starts_with(
      "Error: no verified catalog installed; pass --catalog <catalog.json>\n"));

  fake.context.installedCatalog = [] { return Catalog::decode(toolCatalogJSON("9.9")); };
  EXPECT_EQ(fake.run({"validate", fragments}).output,
            "\u2713 0 fragment(s) valid against catalog 9.9\n");

  catalog =
      tree.write("bad-catalog.json", R"({"schemaVersion":3,"catalogVersion":"1","harnesses":[]})");
  result = validate({fragments});
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(result.errors.starts_with("Error: catalog: ")) << result.errors;
}

}  // namespace
}  // namespace tavra::test
