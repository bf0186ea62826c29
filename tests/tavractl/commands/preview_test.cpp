// `preview`: the rendered files of a set of fragments, per harness and output in catalog order,
// with the fragment line, the load errors, the merge warnings and the envelopes it can open.
#include <gtest/gtest.h>
#include <unistd.h>

#include "fake_context.h"
#include "support/temp_tree.h"
#include "tavra/base64.h"
#include "tavra/catalog.h"
#include "tavra/constants.h"
#include "tavra/platform/crypto.h"
#include "tavra/renderer.h"
#include "tavra/secret_envelope.h"
#include "tool_fixtures.h"

namespace tavra::test {
namespace {

const std::string fragmentLineOnly = "Fragments (highest priority first): \n\n";

class PreviewTest : public ::testing::Test {
 protected:
  ToolResult preview(std::vector<std::string> words) {
    words.insert(words.begin(), "preview");
    return fake.run(words);
  }
  ToolResult previewFolder(std::vector<std::string> extra = {}) {
    std::vector<std::string> words = {fragments, "--catalog", catalog};
    words.insert(words.end(), extra.begin(), extra.end());
    return preview(words);
  }
  void fragment(const std::string& name, const std::string& id, int priority,
                const std::string& harnesses) {
    tree.write("fragments/" + name, fragmentJSON(id, priority, harnesses));
  }
  // The header, warnings and body that preview prints for one output of the test catalog.
  static std::string shown(const std::string& harness, const std::string& output,
                           const std::string& renderedJSON,
                           const std::vector<std::string>& warnings = {}) {
    const Catalog decoded = Catalog::decode(toolCatalogJSON());
    const Harness found = *decoded.harness(harness);
    for (const Output& candidate : found.outputs) {
      if (candidate.id != output) continue;
      std::string text = "\u2500\u2500 " + found.displayName + " \u00b7 " + output + " \u2192 " +
                         candidate.path + "\n";
      for (const std::string& warning : warnings) text += "   \u26a0\ufe0e " + warning + "\n";
      return text + Renderer::render(Value::parseJSON(renderedJSON), candidate) + "\n";
    }
    ADD_FAILURE() << "no output " << output;
    return "";
  }

  TempTree tree;
  FakeContext fake;
  std::string catalog = tree.write("catalog.json", toolCatalogJSON());
  std::string fragments = tree.mkdir("fragments");
};

TEST_F(PreviewTest, WithoutFragmentsOnlyTheFragmentLineAndAnEmptyLine) {
  const ToolResult result = previewFolder();
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(result.output, fragmentLineOnly);
}

TEST_F(PreviewTest, EveryOutputWithValuesInCatalogOrderWithMarksAndWarnings) {
  fragment("a.json", "low", 1,
           R"({"alpha":{"settings":{"model":1,"permissions":{"deny":["a"]}},"extra":{"x":{"y":1}}},
               "gamma":{"config":{"on":true}}})");
  fragment("b.json", "high", 5,
           R"({"alpha":{"settings":{"model":"big","permissions":{"deny":["b"]}}},
               "beta":{"config":{"k":"v"}}})");
  const ToolResult result = previewFolder();
  EXPECT_EQ(result.status, 0) << result.errors;
  // The planned harness gamma is rendered like any other; alpha's two values merge with the
  // higher priority first.
  EXPECT_EQ(result.output,
            "Fragments (highest priority first): high=5, low=1\n\n" +
                shown("alpha", "settings", R"({"model":"big","permissions":{"deny":["b","a"]}})",
                      {"model: fragments disagree on the value type; using the highest-priority "
                       "value"}) +
                shown("alpha", "extra", R"({"x":{"y":1}})") +
                shown("beta", "config", R"({"k":"v"})") +
                shown("gamma", "config", R"({"on":true})"));
  // The marks, byte for byte, and the empty line after a rendering that ends in a line feed.
  EXPECT_NE(result.output.find("\xE2\x94\x80\xE2\x94\x80 Alpha Code \xC2\xB7 settings \xE2\x86\x92 "
                               "/etc/alpha/settings.json\n   \xE2\x9A\xA0\xEF\xB8\x8E model: "),
            std::string::npos)
      << result.output;
  EXPECT_NE(result.output.find("}\n\n\xE2\x94\x80\xE2\x94\x80 Alpha Code"), std::string::npos);
}

TEST_F(PreviewTest, EqualPrioritiesPutTheSmallerIdFirst) {
  fragment("1.json", "b", 0, R"({"alpha":{"settings":{"model":"from b"}}})");
  fragment("2.json", "a", 0, R"({"alpha":{"settings":{"model":"from a"}}})");
  const ToolResult result = previewFolder();
  EXPECT_EQ(result.output, "Fragments (highest priority first): a=0, b=0\n\n" +
                               shown("alpha", "settings", R"({"model":"from a"})"));
}

TEST_F(PreviewTest, OnlyTheNamedHarnessWithHarness) {
  fragment("a.json", "a", 0, R"({"alpha":{"settings":{"m":1}},"beta":{"config":{"k":"v"}}})");
  EXPECT_EQ(
      previewFolder({"--harness", "beta"}).output,
      "Fragments (highest priority first): a=0\n\n" + shown("beta", "config", R"({"k":"v"})"));
  EXPECT_EQ(previewFolder({"--harness", "zeta"}).output,
            "Fragments (highest priority first): a=0\n\n");
  // Exact ids only.
  EXPECT_EQ(previewFolder({"--harness", "Beta"}).output,
            "Fragments (highest priority first): a=0\n\n");
}

TEST_F(PreviewTest, OutputsWithoutValuesAndUnknownOnesAreLeftOut) {
  fragment("a.json", "a", 0, R"({"alpha":{"extra":{"x":1},"nope":{"y":2}},"zeta":{"o":{"z":3}}})");
  EXPECT_EQ(previewFolder().output,
            "Fragments (highest priority first): a=0\n\n" + shown("alpha", "extra", R"({"x":1})"));
}

TEST_F(PreviewTest, LoadErrorsComeFirstAndTheRestIsShown) {
  tree.write("fragments/0-broken.json", "{");
  tree.write("fragments/1-empty.plist", "");
  fragment("2.json", "a", 0, R"({"beta":{"config":{"k":"v"}}})");
  const ToolResult result = previewFolder();
  EXPECT_EQ(result.status, 0);
  ASSERT_TRUE(result.output.starts_with("\u2717 " + fragments + "/0-broken.json: "))
      << result.output;
  const std::size_t second = result.output.find('\n') + 1;
  EXPECT_EQ(result.output.compare(second, 4 + fragments.size(), "\u2717 " + fragments), 0);
  EXPECT_NE(result.output.find("Fragments (highest priority first): a=0\n\n" +
                               shown("beta", "config", R"({"k":"v"})")),
            std::string::npos);
}

TEST_F(PreviewTest, EnvelopesOpenWithTheKeyAndStayAsTheyAreWithout) {
  const OrganisationKey org(tree);
  const crypto::P256PrivateKey key = crypto::P256PrivateKey::fromPEM(readFile(org.keyFile));
  const std::string sealed = SecretEnvelope::encrypt("hunter2", key.publicKey().x963());
  const std::string other =
      SecretEnvelope::encrypt("elsewhere", crypto::P256PrivateKey::generate().publicKey().x963());
  fragment(
      "a.json", "a", 0,
      R"({"alpha":{"settings":{"token":"Bearer )" + sealed + R"(","other":")" + other + R"("}}})");
  EXPECT_EQ(previewFolder().output,
            "Fragments (highest priority first): a=0\n\n" +
                shown("alpha", "settings",
                      R"({"token":"Bearer )" + sealed + R"(","other":")" + other + R"("})"));
  // A value is opened whole or not at all: the envelope for another key keeps the value closed.
  EXPECT_EQ(previewFolder({"--key", org.keyFile}).output,
            "Fragments (highest priority first): a=0\n\n" +
                shown("alpha", "settings",
                      R"({"token":"Bearer )" + sealed + R"(","other":")" + other + R"("})"));
  fragment("a.json", "a", 0, R"({"alpha":{"settings":{"token":"Bearer )" + sealed + R"("}}})");
  EXPECT_EQ(previewFolder({"--key", org.keyFile}).output,
            "Fragments (highest priority first): a=0\n\n" +
                shown("alpha", "settings", R"({"token":"Bearer hunter2"})"));
}

TEST_F(PreviewTest, AKeyThatCannotBeUsedEndsItAfterTheLoadErrors) {
  tree.write("fragments/0-broken.json", "{");
  fragment("1.json", "a", 0, R"({"alpha":{"settings":{"m":1}}})");
  const std::string binary = tree.write("binary.pem", std::string("\x00\x01\xFF\xFE", 4));
  const std::string empty = tree.write("empty.pem", "");
  const std::string huge = tree.write("huge.pem", "");
  ASSERT_EQ(truncate(huge.c_str(), Constants::maxInputFileBytes + 1), 0);
  const std::string rsa = makeKey(tree, "rsa.pem", {"-algorithm", "RSA"});
  for (const std::string& key :
       {tree.path("missing.pem"), tree.mkdir("folder.pem"), binary, empty, huge, rsa}) {
    SCOPED_TRACE(key);
    const ToolResult result = previewFolder({"--key", key});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1) << result.output;
    EXPECT_TRUE(result.output.starts_with("\u2717 ")) << result.output;
    EXPECT_TRUE(result.errors.starts_with("Error: ")) << result.errors;
    EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 1) << result.errors;
  }
  EXPECT_EQ(previewFolder({"--key", huge}).errors,
            "Error: cannot read " + huge + ": larger than 64 MiB\n");
}

TEST_F(PreviewTest, ARenderErrorEndsItAfterTheFilesAlreadyShown) {
  fragment("a.json", "a", 0, R"({"alpha":{"settings":{"m":1},"extra":"not a table"}})");
  const ToolResult result = previewFolder();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, "Fragments (highest priority first): a=0\n\n" +
                               shown("alpha", "settings", R"({"m":1})"));
  EXPECT_EQ(result.errors, "Error: render: extra: top level must be a dictionary\n");
}

TEST_F(PreviewTest, TheCatalogComesFromTheFileOrTheInstalledOne) {
  fragment("a.json", "a", 0, R"({"beta":{"config":{"k":"v"}}})");
  // An explicit file needs no signature; a wrong one beside it does not matter.
  tree.write("catalog.json.sig", "garbage\n");
  EXPECT_EQ(previewFolder().status, 0);

  ToolResult result = preview({fragments});
  EXPECT_EQ(result.status, 64);
  EXPECT_TRUE(result.errors.starts_with(
      "Error: no verified catalog installed; pass --catalog <catalog.json>\n"))
      << result.errors;

  fake.context.installedCatalog = [] { return Catalog::decode(toolCatalogJSON()); };
  result = preview({fragments});
  EXPECT_EQ(result.output, "Fragments (highest priority first): a=0\n\n" +
                               shown("beta", "config", R"({"k":"v"})"));

  const std::string missing = tree.path("missing.json");
  result = preview({fragments, "--catalog", missing});
  EXPECT_EQ(result.status, 64);
  EXPECT_TRUE(result.errors.starts_with("Error: cannot read " + missing + "\n")) << result.errors;
}

TEST_F(PreviewTest, LoadErrorsArePrintedBeforeTheCatalogFails) {
  tree.write("fragments/broken.json", "{");
  const ToolResult result = preview({fragments, "--catalog", tree.path("missing.json")});
  EXPECT_EQ(result.status, 64);
  EXPECT_TRUE(result.output.starts_with("\u2717 " + fragments + "/broken.json: ")) << result.output;
}

TEST_F(PreviewTest, AMissingPathEndsItBeforeAnyOutput) {
  const std::string missing = tree.path("nope");
  const ToolResult result = preview({fragments, missing, "--catalog", catalog});
  EXPECT_EQ(result.status, 64);
  EXPECT_EQ(result.output, "");
  EXPECT_TRUE(result.errors.starts_with("Error: " + missing + " not found\n")) << result.errors;
}

}  // namespace
}  // namespace tavra::test
