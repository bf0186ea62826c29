// `status` run as a program on fixture reports: the listing under a fixed locale and time zone,
// the JSON as python3 reads and writes it, and the line against the real clock.
#include <gtest/gtest.h>

#include "support/python.h"
#include "support/temp_tree.h"
#include "tavra/status_report.h"
#include "tool_process.h"

namespace tavra::test {
namespace {

const std::string fixtures = std::string(TAVRA_TEST_DIR) + "/tavractl/fixtures/status/";

TEST(StatusProgramTest, ListingMatchesItsGoldenText) {
  for (const std::string name : {"degraded", "no-catalog"}) {
    ProcessResult result = runTavractl({"status", "--file", fixtures + name + ".json"});
    EXPECT_EQ(result.status, 0) << name;
    EXPECT_EQ(result.output, readFile(fixtures + name + ".txt")) << name;
    EXPECT_EQ(result.errors, "");
  }
}

TEST(StatusProgramTest, ListingFollowsTheLocaleAndTimeZone) {
  ProcessResult result = runTavractl({"status", "--file", fixtures + "degraded.json"},
                                     {"LC_ALL=de_DE.UTF-8", "TZ=Europe/Berlin"});
  EXPECT_EQ(result.output.substr(0, result.output.find('\n')),
            "Tavra 0.2.1 \u2014 last run 15.06.2025, 15:45:30");
  result = runTavractl({"status", "--file", fixtures + "degraded.json"},
                       {"LC_ALL=", "LC_TIME=fr_FR.UTF-8", "TZ=Asia/Tokyo"});
  EXPECT_EQ(result.output.substr(0, result.output.find('\n')),
            "Tavra 0.2.1 \u2014 last run 15 juin 2025, 22:45:30");
}

TEST(StatusProgramTest, JsonIsTheReportAsPythonWritesItSortedAndPretty) {
  if (!pythonHas({"json"})) GTEST_SKIP() << "python3 is not available";
  ProcessResult result = runTavractl({"status", "--json", "--file", fixtures + "degraded.json"});
  ASSERT_EQ(result.status, 0);
  EXPECT_EQ(result.output.find("\\/"), std::string::npos) << "slashes are not escaped";
  PythonResult check = runPython(R"PY(
import json, sys
printed = sys.stdin.read()
original = json.load(open(sys.argv[1]))
assert json.loads(printed) == original
expected = json.dumps(original, indent=2, sort_keys=True, separators=(',', ' : '), ensure_ascii=False)
print('same' if printed == expected + '\n' else 'different:\n' + printed)
)PY",
                                 {fixtures + "degraded.json"}, result.output);
  EXPECT_EQ(check.output, "same\n");
}

TEST(StatusProgramTest, LineAgainstTheRealClock) {
  TempTree tree;
  StatusReport report = StatusReport::decode(readFile(fixtures + "degraded.json"));
  const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
  struct Case {
    std::chrono::seconds age;
    std::string minutes;
  };
  for (const auto& c :
       std::vector<Case>{{std::chrono::seconds(20), "0"},
                         {std::chrono::minutes(61) + std::chrono::seconds(20), "61"}}) {
    report.timestamp = now - c.age;
    const std::string path = tree.write("status.json", report.encode());
    ProcessResult result = runTavractl({"status", "--line", "--file", path});
    EXPECT_EQ(result.output,
              "degraded | catalog 2026.12.1 | managed claude-code,codex | last run " + c.minutes +
                  "m ago | problems gemini-cli:degraded\n");
    EXPECT_EQ(runTavractl({"status", "--line", "--check", "--file", path}).status, 1);
  }
}

TEST(StatusProgramTest, NoReportAndUnusableReports) {
  TempTree tree;
  ProcessResult line = runTavractl({"status", "--line", "--check", "--file", tree.path("none")});
  EXPECT_EQ(line.status, 1);
  EXPECT_EQ(line.output, "no-status\n");
  EXPECT_EQ(line.errors, "");
  ProcessResult json = runTavractl({"status", "--json", "--file", tree.mkdir("folder")});
  EXPECT_EQ(json.status, 64);
  EXPECT_EQ(json.output, "");
  EXPECT_EQ(json.errors.rfind("Error: no status yet; is tavrad running?", 0), 0u);
}

}  // namespace
}  // namespace tavra::test
