// The shipped examples run through the built tavractl the way an administrator runs them:
// validated against the shipped catalog, then simulated into a folder with and without the demo
// key, and the rendered files read back by independent parsers (python3 json, tomllib, plistlib).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/example_fragments.h"
#include "support/python.h"
#include "support/temp_tree.h"
#include "tavra/catalog.h"
#include "tavra/status_report.h"
#include "tavra/value.h"
#include "tavractl/tool_process.h"

namespace tavra::test {
namespace {

namespace stdfs = std::filesystem;

const std::string catalogPath = TAVRA_SOURCE_DIR "/catalog/catalog.json";
const std::string examples = TAVRA_SOURCE_DIR "/examples";
const std::string demoKey = examples + "/demo-org/demo-org-NOT-FOR-DEPLOYMENT.key.pem";
const std::string supportBelow = "/Library/Application Support/Tavra";
const std::string allManaged = "ClaudeCode,GeminiCli,codex,opencode,ClaudeDesktop";

// One rendered file of the shipped catalog.
struct OutputFile {
  std::string harnessID;
  std::string name;  // harness id "/" output id
  std::string path;  // as in the catalog
  std::string format;
};

class ExamplesSimulateTest : public ::testing::Test {
 protected:
  ExamplesSimulateTest() {
    for (const Harness& harness : catalog.harnesses) {
      for (const Output& output : harness.outputs) {
        outputs.push_back({harness.id, harness.id + "/" + output.id, output.path,
                           std::string(rawValue(output.format))});
      }
    }
  }

  // `tavractl simulate examples/` with the shipped catalog into `folder`, with the demo key or
  // without a key.
  static ProcessResult simulate(const std::string& folder, bool withKey) {
    std::vector<std::string> words = {"simulate",  examples, "--catalog",
                                      catalogPath, "--out",  folder};
    if (withKey) words.insert(words.end(), {"--key", demoKey});
    return runTavractl(words);
  }

  static StatusReport report(const std::string& folder) {
    return StatusReport::decode(readFile(folder + supportBelow + "/status.json"));
  }

  static const StatusReport::HarnessStatus& harness(const StatusReport& r, const std::string& id) {
    for (const auto& h : r.harnesses) {
      if (h.id == id) return h;
    }
    throw std::runtime_error("no harness " + id + " in the report");
  }

  std::string summary(const std::string& health, const std::string& managed) const {
    return health + "; catalog " + catalog.catalogVersion + "; managed: " + managed + "\n";
  }

  // Each rendered file below `folder`, read by the parser of its format, by harness id "/"
  // output id.
  std::map<std::string, Value> readBack(const std::string& folder) const {
    std::vector<FormattedFile> paths;
    for (const OutputFile& file : outputs) paths.push_back({file.format, folder + file.path});
    const std::vector<Value> values = readWithPythonParsers(paths);
    std::map<std::string, Value> files;
    for (std::size_t i = 0; i < values.size() && i < outputs.size(); ++i) {
      files.emplace(outputs[i].name, values[i]);
    }
    return files;
  }

  Catalog catalog = Catalog::decode(readFile(catalogPath));
  std::vector<OutputFile> outputs;
  TempTree tree;
};

// Every regular file below `folder`, by its path relative to it.
std::map<std::string, std::string> snapshot(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : stdfs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) {
      files.emplace(stdfs::relative(entry.path(), folder).string(), readFile(entry.path()));
    }
  }
  return files;
}

TEST_F(ExamplesSimulateTest, TheExamplesAreValidAgainstTheShippedCatalog) {
  const ProcessResult run = runTavractl({"validate", examples, "--catalog", catalogPath});
  EXPECT_EQ(run.status, 0) << run.output << run.errors;
  EXPECT_EQ(run.output,
            "\u2713 3 fragment(s) valid against catalog " + catalog.catalogVersion + "\n");
  EXPECT_EQ(run.errors, "");
}

TEST_F(ExamplesSimulateTest, WithTheDemoKeyEveryHarnessIsManagedAndEveryFileWritten) {
  const std::string folder = tree.path("sim");
  const ProcessResult run = simulate(folder, true);
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_TRUE(run.output.starts_with(summary("ok", allManaged))) << run.output;
  EXPECT_TRUE(run.output.ends_with("Status: " + folder + supportBelow + "/status.json\n"));
  EXPECT_EQ(run.errors, "");

  const StatusReport r = report(folder);
  EXPECT_EQ(r.health, StatusReport::Health::ok);
  EXPECT_EQ(r.fragments, (std::vector<std::string>{"team (priority 50)", "secrets (priority 20)",
                                                   "baseline (priority 10)"}));
  EXPECT_TRUE(r.errors.empty());
  for (const OutputFile& file : outputs) {
    const auto& status = harness(r, file.harnessID);
    EXPECT_EQ(status.state, StatusReport::HarnessState::managed) << file.harnessID;
    EXPECT_TRUE(status.errors.empty()) << file.harnessID;
    EXPECT_NE(std::find(status.outputs.begin(), status.outputs.end(), file.path),
              status.outputs.end())
        << file.name;
    // At its real path below the folder, with the catalog's mode.
    struct stat info {};
    ASSERT_EQ(stat((folder + file.path).c_str(), &info), 0) << file.path;
    EXPECT_EQ(info.st_mode & 07777, 0644) << file.path;
    // No envelope reaches a file: each was opened with the demo key.
    EXPECT_EQ(readFile(folder + file.path).find("TAVRA-ENC:"), std::string::npos) << file.path;
  }

  // What the README's main job shows next.
  const std::string statusFile = folder + supportBelow + "/status.json";
  const ProcessResult line = runTavractl({"status", "--line", "--file", statusFile});
  EXPECT_EQ(line.status, 0);
  EXPECT_TRUE(line.output.starts_with("ok | catalog " + catalog.catalogVersion + " | managed " +
                                      allManaged + " | last run "))
      << line.output;
  const ProcessResult listing = runTavractl({"status", "--file", statusFile});
  EXPECT_EQ(listing.status, 0);
  EXPECT_NE(listing.output.find("\nHealth: ok\n"), std::string::npos) << listing.output;
  EXPECT_NE(listing.output.find("\ncodex: managed [team, baseline]\n"
                                "    \u2192 /etc/codex/requirements.toml\n"),
            std::string::npos)
      << listing.output;
}

TEST_F(ExamplesSimulateTest, RenderedFilesHoldWhatTheMergeRulesPromise) {
  if (!pythonHas({"json", "tomllib", "plistlib"})) {
    GTEST_SKIP() << "python3 with tomllib is not installed";
  }
  const std::string folder = tree.path("sim");
  ASSERT_EQ(simulate(folder, true).status, 0);
  const std::map<std::string, Value> files = readBack(folder);
  ASSERT_EQ(files.size(), outputs.size());
  expectExamplePromises(files);
}

TEST_F(ExamplesSimulateTest, WithoutTheKeyTheHarnessesWithTheSecretAreDegraded) {
  const std::string folder = tree.path("sim");
  const ProcessResult run = simulate(folder, false);
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_TRUE(run.output.starts_with(summary("degraded", "codex,opencode,ClaudeDesktop")))
      << run.output;

  const StatusReport r = report(folder);
  EXPECT_EQ(r.health, StatusReport::Health::degraded);
  for (const char* id : {"ClaudeCode", "GeminiCli"}) {
    EXPECT_EQ(harness(r, id).state, StatusReport::HarnessState::degraded) << id;
    EXPECT_EQ(harness(r, id).errors,
              std::vector<std::string>{"crypto: no decryption key for key id 9f9066f8a8dc74b6"})
        << id;
  }
  for (const OutputFile& file : outputs) {
    const bool sealed = file.harnessID == "ClaudeCode" || file.harnessID == "GeminiCli";
    if (!sealed) {
      EXPECT_EQ(harness(r, file.harnessID).state, StatusReport::HarnessState::managed);
    }
    // A frozen harness keeps what it had: here, nothing yet.
    EXPECT_EQ(exists(folder + file.path), !sealed) << file.path;
  }
}

// The folder is reused as a Mac keeps its files: the second pass finds its own state and writes
// nothing. Only the report (its time) and the catalog's signature (simulate signs with a fresh
// throw-away key each run) are new.
TEST_F(ExamplesSimulateTest, ASecondPassIntoTheSameFolderChangesNothing) {
  const std::string folder = tree.path("sim");
  ASSERT_EQ(simulate(folder, true).status, 0);
  const std::map<std::string, std::string> before = snapshot(folder);

  const ProcessResult again = simulate(folder, true);
  ASSERT_EQ(again.status, 0) << again.errors;
  EXPECT_EQ(again.output,
            summary("ok", allManaged) + "Status: " + folder + supportBelow + "/status.json\n");
  EXPECT_TRUE(report(folder).changes.empty());

  const std::map<std::string, std::string> after = snapshot(folder);
  ASSERT_EQ(after.size(), before.size());
  const std::string support = supportBelow.substr(1);
  for (const auto& [path, bytes] : before) {
    if (path == support + "/status.json" || path == support + "/catalog/catalog.json.sig") {
      continue;
    }
    const auto it = after.find(path);
    ASSERT_NE(it, after.end()) << path;
    EXPECT_EQ(it->second, bytes) << path;
  }
}

}  // namespace
}  // namespace tavra::test
