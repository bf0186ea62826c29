// `simulate` run as a program: a whole pass into a folder, read back with `status --file`.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/catalog_fixtures.h"
#include "support/crypto_fixtures.h"
#include "support/other_user.h"
#include "support/temp_tree.h"
#include "tavra/plist.h"
#include "tavra/secret_envelope.h"
#include "tavra/status_report.h"
#include "tool_process.h"

namespace tavra::test {
namespace {

namespace stdfs = std::filesystem;

const std::string fixtures = std::string(TAVRA_TEST_DIR) + "/tavractl/fixtures/simulate/";
const std::string supportBelow = "/Library/Application Support/Tavra";

class SimulateTest : public ::testing::Test {
 protected:
  SimulateTest() {
    stdfs::copy(fixtures + "fragments", tree.path("fragments"));
    tree.write("catalog.json", readFile(fixtures + "catalog.json"));
    tree.mkdir("work");
  }

  ProcessResult simulate(std::vector<std::string> words, const std::string& out) {
    words.insert(words.begin(), "simulate");
    words.insert(words.end(), {"--catalog", tree.path("catalog.json"), "--out", out});
    return runTavractlIn(tree.path("work"), words);
  }

  StatusReport report(const std::string& folder) {
    return StatusReport::decode(readFile(folder + supportBelow + "/status.json"));
  }

  const StatusReport::HarnessStatus* harness(const StatusReport& r, const std::string& id) {
    for (const auto& h : r.harnesses) {
      if (h.id == id) return &h;
    }
    return nullptr;
  }

  TempTree tree;
};

TEST_F(SimulateTest, ARelativeFolderIsBelowTheWorkingDirectory) {
  ProcessResult result = simulate({tree.path("fragments")}, "sim");
  const std::string folder = tree.path("work/sim");
  ASSERT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(result.output,
            "ok; catalog 2026.12.1; managed: codex,claude-code\n"
            "  created: /etc/codex/requirements.toml\n"
            "  created: /Library/Application Support/ClaudeCode/managed-settings.json\n"
            "Status: " +
                folder + supportBelow + "/status.json\n");
  EXPECT_EQ(result.errors, "");
  EXPECT_EQ(readFile(folder + "/etc/codex/requirements.toml"),
            "# Managed by Tavra (com.zelkorandin.tavra). Local changes are overwritten.\n"
            "allowed_approval_policies = [\"untrusted\", \"on-request\"]\n");
  EXPECT_TRUE(exists(folder + "/Library/Application Support/ClaudeCode/managed-settings.json"));
  EXPECT_TRUE(exists(folder + supportBelow + "/catalog/catalog.json.sig"));
  EXPECT_TRUE(exists(folder + supportBelow + "/state.json"));

  // The fragments became the plists a Mac would hold.
  Value baseline = Value::parsePlist(readFile(
      folder + "/Library/Managed Preferences/com.zelkorandin.tavra.policy.baseline.plist"));
  EXPECT_EQ(baseline[KeyPath("PolicyID")], Value("baseline"));
  EXPECT_EQ(baseline[KeyPath("Priority")], Value(10));
  EXPECT_EQ(baseline[KeyPath("Description")], Value("Organisation baseline"));
  EXPECT_FALSE(baseline[KeyPath("Enabled")].has_value());
  EXPECT_TRUE(
      exists(folder + "/Library/Managed Preferences/com.zelkorandin.tavra.policy.team.plist"));

  // The report reads as on a Mac.
  StatusReport r = report(folder);
  EXPECT_EQ(harness(r, "codex")->outputs, std::vector<std::string>{"/etc/codex/requirements.toml"});
  for (const auto& change : r.changes) EXPECT_EQ(change.path.find(folder), std::string::npos);
  EXPECT_EQ(readFile(folder + supportBelow + "/status.json").find(folder), std::string::npos);
}

TEST_F(SimulateTest, ATrailingSlashNamesTheSameFolderAndStatusReadsTheReport) {
  ASSERT_EQ(simulate({tree.path("fragments")}, "sim/").status, 0);
  const std::string folder = tree.path("work/sim");
  EXPECT_FALSE(exists(tree.path("work/sim/sim")));
  ProcessResult status =
      runTavractl({"status", "--line", "--file", folder + supportBelow + "/status.json"});
  EXPECT_EQ(status.output,
            "ok | catalog 2026.12.1 | managed codex,claude-code | last run 0m ago\n");
  ProcessResult listing = runTavractl({"status", "--file", folder + supportBelow + "/status.json"});
  EXPECT_NE(
      listing.output.find("codex: managed [baseline]\n    \u2192 /etc/codex/requirements.toml\n"),
      std::string::npos)
      << listing.output;

  // The folder is reused: a second pass finds its own state and changes nothing.
  ProcessResult again = simulate({tree.path("fragments")}, tree.path("work/sim") + "/./");
  EXPECT_EQ(again.output, "ok; catalog 2026.12.1; managed: codex,claude-code\nStatus: " + folder +
                              supportBelow + "/status.json\n");
}

TEST_F(SimulateTest, ASecretOpensOnlyWithItsKey) {
  const std::string keyPath =
      makeKey(tree, "org.key.pem", {"-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"});
  const crypto::P256PrivateKey key = crypto::P256PrivateKey::fromPEM(readFile(keyPath));
  const std::string envelope = SecretEnvelope::encrypt("s3cret", key.publicKey().x963());
  const std::string keyID = SecretEnvelope::keyID(key.publicKey().x963());
  tree.write("secret/gemini.json",
             R"({"Harnesses":{"gemini-cli":{"settings":{"apiKey":")" + envelope + R"("}}}})");

  ProcessResult closed = simulate({tree.path("secret")}, "closed");
  ASSERT_EQ(closed.status, 0) << closed.errors;
  StatusReport r = report(tree.path("work/closed"));
  EXPECT_EQ(r.health, StatusReport::Health::degraded);
  ASSERT_NE(harness(r, "gemini-cli"), nullptr);
  EXPECT_EQ(harness(r, "gemini-cli")->state, StatusReport::HarnessState::degraded);
  ASSERT_EQ(harness(r, "gemini-cli")->errors.size(), 1u);
  EXPECT_NE(harness(r, "gemini-cli")->errors[0].find(keyID), std::string::npos);
  EXPECT_FALSE(exists(tree.path("work/closed/etc/gemini-cli/settings.json")));

  ProcessResult open = simulate({tree.path("secret"), "--key", keyPath}, "open");
  ASSERT_EQ(open.status, 0) << open.errors;
  EXPECT_EQ(harness(report(tree.path("work/open")), "gemini-cli")->state,
            StatusReport::HarnessState::managed);
  EXPECT_NE(readFile(tree.path("work/open/etc/gemini-cli/settings.json")).find("s3cret"),
            std::string::npos);
}

TEST_F(SimulateTest, AnyCatalogSignatureOrNoneIsAcceptedAlike) {
  CatalogSigningKey unknown;
  ASSERT_EQ(simulate({tree.path("fragments")}, "unsigned").status, 0);
  tree.write("catalog.json.sig", unknown.signatureFile(readFile(tree.path("catalog.json"))));
  ASSERT_EQ(simulate({tree.path("fragments")}, "signed").status, 0);
  tree.write("catalog.json.sig", "garbage\n");
  ASSERT_EQ(simulate({tree.path("fragments")}, "broken").status, 0);
  for (const std::string name : {"unsigned", "signed", "broken"}) {
    EXPECT_EQ(report(tree.path("work/" + name)).health, StatusReport::Health::ok) << name;
  }
}

TEST_F(SimulateTest, ACatalogThatDoesNotDecodeEndsAfterThePlistsWereWritten) {
  tree.write("catalog.json", R"({"schemaVersion":2,"catalogVersion":"1","harnesses":[{"id":1}]})");
  ProcessResult result = simulate({tree.path("fragments")}, "sim");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.errors.rfind("Error: ", 0), 0u);
  EXPECT_TRUE(exists(tree.path(
      "work/sim/Library/Managed Preferences/com.zelkorandin.tavra.policy.baseline.plist")));
  EXPECT_FALSE(exists(tree.path("work/sim" + supportBelow)));
}

// A catalog whose outputs fall in the places a Mac keeps for Tavra itself: the pass refuses them
// there, and so does the simulation, instead of writing over its own state and fragments.
TEST_F(SimulateTest, OutputsInTheSystemsOwnPlacesAreRefusedAsOnAMac) {
  std::string catalog = readFile(tree.path("catalog.json"));
  const auto replace = [&](const std::string& from, const std::string& to) {
    catalog.replace(catalog.find(from), from.size(), to);
  };
  const std::string state = "/Library/Application Support/Tavra/state.json";
  const std::string domain = "/Library/Managed Preferences/com.zelkorandin.tavra.policy.cc.plist";
  replace("/etc/codex/requirements.toml", state);
  replace("/Library/Application Support/ClaudeCode/managed-settings.json", domain);
  tree.write("catalog.json", catalog);

  for (int pass = 1; pass <= 2; ++pass) {
    SCOPED_TRACE(pass);
    ProcessResult result = simulate({tree.path("fragments")}, "sim");
    ASSERT_EQ(result.status, 0) << result.errors;
    EXPECT_EQ(result.output,
              "degraded; catalog 2026.12.1; managed: none\n"
              "\u2717 " +
                  state + ": path not allowed: " + state +
                  ": reserved for Tavra\n"
                  "\u2717 " +
                  domain + ": path not allowed: " + domain +
                  ": reserved for Tavra\n"
                  "Status: " +
                  tree.path("work/sim") + supportBelow + "/status.json\n");
    const StatusReport r = report(tree.path("work/sim"));
    EXPECT_EQ(harness(r, "codex")->state, StatusReport::HarnessState::error);
    EXPECT_EQ(harness(r, "codex")->outputs, std::vector<std::string>{state});
    EXPECT_EQ(harness(r, "codex")->errors,
              std::vector<std::string>{"path not allowed: " + state + ": reserved for Tavra"});
    EXPECT_TRUE(r.fragmentErrors.empty());
    EXPECT_FALSE(exists(tree.path("work/sim" + domain)));
  }
}

TEST_F(SimulateTest, UnusableInputs) {
  tree.write("a-file", "x");
  struct Case {
    std::string name;
    std::vector<std::string> words;
    int status;
    std::string errorStart;
  };
  const std::string missingCatalog = tree.path("missing.json");
  for (const auto& c : std::vector<Case>{
           {"OutIsAFile",
            {"simulate", tree.path("fragments"), "--catalog", tree.path("catalog.json"), "--out",
             tree.path("a-file")},
            1,
            "Error: cannot create directory " + tree.path("a-file") + ": Not a directory\n"},
           {"CatalogMissing",
            {"simulate", tree.path("fragments"), "--catalog", missingCatalog, "--out", "x"},
            64,
            "Error: cannot read " + missingCatalog + "\n"},
           {"CatalogIsAFolder",
            {"simulate", tree.path("fragments"), "--catalog", tree.path("fragments"), "--out", "x"},
            64,
            "Error: cannot read " + tree.path("fragments") + "\n"},
           {"KeyMissing",
            {"simulate", tree.path("fragments"), "--catalog", tree.path("catalog.json"), "--out",
             "x", "--key", tree.path("nokey.pem")},
            1,
            "Error: cannot read " + tree.path("nokey.pem") + ": No such file or directory\n"},
           {"KeyNotPEM",
            {"simulate", tree.path("fragments"), "--catalog", tree.path("catalog.json"), "--out",
             "x", "--key", tree.path("catalog.json")},
            1,
            "Error: "},
           {"FragmentsMissing",
            {"simulate", tree.path("nothing"), "--catalog", tree.path("catalog.json"), "--out",
             "x"},
            64,
            "Error: " + tree.path("nothing") + " not found\n"},
       }) {
    SCOPED_TRACE(c.name);
    ProcessResult result = runTavractlIn(tree.path("work"), c.words);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.errors.substr(0, c.errorStart.size()), c.errorStart);
    EXPECT_EQ(result.errors.find("terminate"), std::string::npos);
  }
}

TEST_F(SimulateTest, BadFragmentFilesArePrintedAndSkipped) {
  tree.write("fragments/broken.json", "{");
  tree.write("fragments/empty.plist", "");
  ProcessResult result = simulate({tree.path("fragments")}, "sim");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output.rfind("\u2717 " + tree.path("fragments") + "/broken.json: ", 0), 0u)
      << result.output;
  EXPECT_NE(result.output.find("\n\u2717 " + tree.path("fragments") + "/empty.plist: "),
            std::string::npos);
  EXPECT_NE(result.output.find("managed: codex,claude-code\n"), std::string::npos);
}

TEST_F(SimulateTest, TwoFragmentsOfOneDomainWriteOnePlistAndTheLaterWins) {
  tree.write("one/shared.json", R"({"PolicyID":"first","Harnesses":{}})");
  tree.write("two/shared.json", R"({"PolicyID":"second","Harnesses":{}})");
  ASSERT_EQ(simulate({tree.path("one"), tree.path("two")}, "sim").status, 0);
  Value written = Value::parsePlist(readFile(
      tree.path("work/sim/Library/Managed Preferences/com.zelkorandin.tavra.policy.shared.plist")));
  EXPECT_EQ(written[KeyPath("PolicyID")], Value("second"));
  EXPECT_EQ(report(tree.path("work/sim")).fragments,
            std::vector<std::string>{"second (priority 0)"});
}

TEST_F(SimulateTest, ADomainThatIsNoFileNameIsRefused) {
  Value profile = Value::Object{
      {"PayloadContent",
       Value::Array{Value::Object{{"PayloadType", "com.zelkorandin.tavra.policy.x/../../escape"},
                                  {"Harnesses", Value::Object{}}}}}};
  tree.write("odd/odd.mobileconfig", plist::writeXML(profile));
  ProcessResult result = simulate({tree.path("odd")}, "sim");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(
      result.errors,
      "Error: policy domain is not a file name: com.zelkorandin.tavra.policy.x/../../escape\n");
}

TEST_F(SimulateTest, AFolderThatLeadsOutThroughALinkIsRefused) {
  TempTree elsewhere;
  tree.mkdir("work/sim");
  stdfs::create_directory_symlink(elsewhere.root(), tree.path("work/sim/Library"));
  ProcessResult result = simulate({tree.path("fragments")}, "sim");
  EXPECT_EQ(result.status, 64);
  EXPECT_NE(result.errors.find("through a symbolic link"), std::string::npos) << result.errors;
  EXPECT_TRUE(stdfs::is_empty(elsewhere.root())) << "nothing was made through the link";
}

// The catalog cache, the applied copies and the backups live in folders of the support folder;
// a link there must not carry the pass's writes out of the output folder either.
TEST_F(SimulateTest, ALinkInsideTheSupportFolderIsRefused) {
  for (const std::string name : {"catalog", "applied", "backups"}) {
    SCOPED_TRACE(name);
    TempTree elsewhere;
    const std::string out = "sim-" + name;
    tree.mkdir("work/" + out + supportBelow);
    // A file that is there before the first pass is backed up.
    tree.write("work/" + out + "/etc/codex/requirements.toml", "model = \"local\"\n");
    stdfs::create_directory_symlink(elsewhere.root(),
                                    tree.path("work/" + out + supportBelow) + "/" + name);
    ProcessResult result = simulate({tree.path("fragments")}, out);
    EXPECT_EQ(result.status, 64);
    EXPECT_NE(result.errors.find("through a symbolic link"), std::string::npos) << result.errors;
    EXPECT_TRUE(stdfs::is_empty(elsewhere.root())) << "nothing was written through the link";
  }
}

// A pipe where a fragment's plist goes would make a write into it wait for a reader for ever:
// the plist is replaced instead, as every file of the simulation is.
TEST_F(SimulateTest, APipeWhereAPlistGoesIsReplacedWithoutWaiting) {
  const std::string plist = tree.mkdir("work/sim/Library/Managed Preferences") +
                            "/com.zelkorandin.tavra.policy.baseline.plist";
  ASSERT_EQ(::mkfifo(plist.c_str(), 0644), 0);
  ProcessResult result = runProcess({tavractlPath, "simulate", tree.path("fragments"), "--catalog",
                                     tree.path("catalog.json"), "--out", tree.path("work/sim")},
                                    {}, std::chrono::seconds(20));
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_TRUE(stdfs::is_regular_file(plist));
  EXPECT_EQ(Value::parsePlist(readFile(plist))[KeyPath("PolicyID")], Value("baseline"));
}

// The root as output folder would be a real pass over the machine's own preferences, catalog
// cache and state, with a catalog the daemon cannot verify: refused before anything is written.
// Run as an ordinary user, so that nothing could be written there even if it were not refused.
TEST_F(SimulateTest, TheRootIsNoOutputFolder) {
  OtherUser user;
  if (user.unavailable()) GTEST_SKIP() << *user.unavailable();
  const std::string tool = user.copy(tavractlPath, "tavractl");
  const std::string fragments = user.copy(tree.path("fragments"), "fragments");
  const std::string catalog = user.copy(tree.path("catalog.json"), "catalog.json");
  const std::string link = user.tree().mkdir("work") + "/root";
  stdfs::create_directory_symlink("/", link);
  for (const std::string& out : {std::string("/"), std::string("/.."), link, link + "/"}) {
    SCOPED_TRACE(out);
    ProcessResult result =
        user.run({tool, "simulate", fragments, "--catalog", catalog, "--out", out});
    EXPECT_EQ(result.status, 64);
    EXPECT_EQ(result.output, "");
    EXPECT_TRUE(result.errors.starts_with("Error: --out " + out +
                                          " is the root folder; simulate needs a folder of its "
                                          "own\n"))
        << result.errors;
  }
}

TEST_F(SimulateTest, WorksAsAnOrdinaryUser) {
  OtherUser user;
  if (user.unavailable()) GTEST_SKIP() << *user.unavailable();
  // The user owns only its output folder; the program and the inputs are readable by anyone.
  const std::string tool = user.copy(tavractlPath, "tavractl");
  const std::string fragments = user.copy(tree.path("fragments"), "fragments");
  const std::string catalog = user.copy(tree.path("catalog.json"), "catalog.json");
  const std::string out = user.ownFolder("mine") + "/sim";
  ProcessResult result = user.run(
      {"env", "LC_ALL=C", tool, "simulate", fragments, "--catalog", catalog, "--out", out});
  ASSERT_EQ(result.status, 0) << result.errors;
  EXPECT_NE(result.output.find("managed: codex,claude-code"), std::string::npos);
  struct stat info {};
  ASSERT_EQ(::stat((out + "/etc/codex/requirements.toml").c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, OtherUser::uid);
}

}  // namespace
}  // namespace tavra::test
