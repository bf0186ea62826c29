// The example fragments merged by the shipped catalog's rules, as a reconcile pass does it
// (precedence order, envelopes opened, merge, render), and the rendered files read back by
// independent parsers (python3 json, tomllib, plistlib) with the values the merge rules promise.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/example_fragments.h"
#include "support/python.h"
#include "support/temp_tree.h"
#include "tavra/catalog.h"
#include "tavra/decryption_key_provider.h"
#include "tavra/merger.h"
#include "tavra/platform/crypto.h"
#include "tavra/renderer.h"
#include "tavra/secret_envelope.h"

namespace tavra {
namespace {

const std::string examples = TAVRA_SOURCE_DIR "/examples";

// Compact JSON text, for readable failure messages.
std::string jsonText(const Value& value) {
  return Renderer::jsonString(value, false);
}

struct Rendered {
  std::string name;  // harness id "/" output id
  Output output;
  Merger::Result merged;
  std::string bytes;
};

// Every output that some example fragment configures, in catalog order.
std::vector<Rendered> renderExamples() {
  const Catalog catalog = Catalog::decode(test::readFile(TAVRA_SOURCE_DIR "/catalog/catalog.json"));
  const std::vector<PolicyFragment> fragments = sortedByPrecedence(test::loadFragments(examples));
  const InMemoryKeyProvider keys({crypto::P256PrivateKey::fromPEM(
      test::readFile(examples + "/demo-org/demo-org-NOT-FOR-DEPLOYMENT.key.pem"))});
  std::vector<Rendered> rendered;
  for (const Harness& harness : catalog.harnesses) {
    for (const Output& output : harness.outputs) {
      std::vector<Value> values;
      for (const PolicyFragment& fragment : fragments) {
        const auto outputs = fragment.harnesses.find(harness.id);
        if (outputs == fragment.harnesses.end()) continue;
        const auto value = outputs->second.find(output.id);
        if (value != outputs->second.end()) {
          values.push_back(SecretEnvelope::decryptAll(value->second, keys));
        }
      }
      if (values.empty()) continue;
      Merger::Result merged =
          Merger(output.mergeRules.value_or(std::vector<MergeRule>{})).merge(values);
      std::string bytes = Renderer::render(merged.value, output);
      rendered.push_back(
          {harness.id + "/" + output.id, output, std::move(merged), std::move(bytes)});
    }
  }
  return rendered;
}

// Each file read by the parser of its format.
std::vector<Value> readBack(const std::vector<Rendered>& rendered) {
  const test::TempTree tree;
  std::vector<test::FormattedFile> files;
  for (std::size_t i = 0; i < rendered.size(); ++i) {
    const std::string format(rawValue(rendered[i].output.format));
    files.push_back({format, tree.write(std::to_string(i) + "." + format, rendered[i].bytes)});
  }
  return test::readWithPythonParsers(files);
}

class ExamplesMergeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::pythonHas({"json", "tomllib", "plistlib"})) {
      GTEST_SKIP() << "python3 with tomllib is not installed";
    }
    rendered = renderExamples();
    const std::vector<Value> values = readBack(rendered);
    ASSERT_EQ(values.size(), rendered.size());
    for (std::size_t i = 0; i < values.size(); ++i) files.emplace(rendered[i].name, values[i]);
  }

  std::vector<Rendered> rendered;
  std::map<std::string, Value> files;  // by harness id "/" output id, as the parsers read them
};

// The whole merged value survives rendering: what the parsers read is what was merged.
TEST_F(ExamplesMergeTest, EveryOutputIsRenderedAndReadsBackAsMerged) {
  std::vector<std::string> names;
  for (const Rendered& file : rendered) {
    names.push_back(file.name);
    EXPECT_EQ(files.at(file.name), file.merged.value) << file.name << "\n"
                                                      << jsonText(files.at(file.name)) << "\n"
                                                      << jsonText(file.merged.value);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"ClaudeCode/managedSettings", "ClaudeCode/managedMcp",
                                             "GeminiCli/settings", "codex/requirements",
                                             "codex/managedConfig", "opencode/config",
                                             "ClaudeDesktop/preferences"}));
}

// Only the deny rules speak up: no type conflicts, unknown strictness values or empty
// intersections hide in the examples.
TEST_F(ExamplesMergeTest, TheOnlyWarningsAreTheDeniedEntries) {
  const std::map<std::string, std::vector<std::string>> expected = {
      {"ClaudeCode/managedSettings",
       {"enabledMcpjsonServers: removed 1 entr(y/ies) denied by disabledMcpjsonServers",
        "allowedMcpServers: removed 1 entr(y/ies) denied by deniedMcpServers"}},
      {"GeminiCli/settings", {"mcp.allowed: removed 1 entr(y/ies) denied by mcp.excluded"}},
  };
  for (const Rendered& file : rendered) {
    const auto it = expected.find(file.name);
    EXPECT_EQ(file.merged.warnings, it == expected.end() ? std::vector<std::string>{} : it->second)
        << file.name;
  }
}

TEST_F(ExamplesMergeTest, RenderedFilesHoldWhatTheMergeRulesPromise) {
  test::expectExamplePromises(files);
}

}  // namespace
}  // namespace tavra
