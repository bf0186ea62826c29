#include "tavra/discovery.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "support/services.h"
#include "support/temp_tree.h"
#include "tavra/file_applier.h"
#include "tavra/json.h"

namespace tavra {
namespace {

using test::TempTree;

}  // namespace

// Readable failure output for the records.
void PrintTo(const Discovery::Installation& i, std::ostream* os) {
  *os << json::write(toValue(i));
}
void PrintTo(const Discovery::RunningProcess& p, std::ostream* os) {
  *os << json::write(toValue(p));
}
void PrintTo(const Discovery::HarnessInventory& h, std::ostream* os) {
  *os << json::write(toValue(h));
}

namespace {

using Pairs = std::vector<std::pair<std::string, std::optional<std::string>>>;
using Kind = Discovery::Installation::Kind;

std::string infoPlist(std::string_view body) {
  return std::string(R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>)") +
         std::string(body) + "</dict></plist>\n";
}

std::string resolvedPath(const std::string& path) {
  return std::filesystem::canonical(path).string();
}

class DiscoveryTest : public ::testing::Test {
 protected:
  TempTree tree;
  Discovery::LocalUser alice{"alice", 501, tree.path("Users/alice")};
  Discovery::LocalUser bob{"bob", 502, tree.path("Users/bob")};

  Discovery discovery(std::vector<std::string> applications = {},
                      std::vector<Discovery::RunningProcess> processes = {}) const {
    return Discovery(test::files(), test::processTable(std::move(processes)),
                     std::vector{alice, bob}, std::move(applications));
  }
};

TEST_F(DiscoveryTest, LocalUsersKeepsOnlyRealHomesInNameOrder) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give directories other owners";
  struct Entry {
    const char* name;
    uid_t owner;
    bool directory;
  };
  for (const Entry& entry : std::vector<Entry>{{"bob", 502, true},
                                               {"alice", 501, true},
                                               {".hidden", 501, true},
                                               {"Shared", 501, true},
                                               {"Guest", 501, true},
                                               {"system", 499, true},
                                               {"plainfile", 501, false}}) {
    std::string path = entry.directory ? tree.mkdir(std::string("Users/") + entry.name)
                                       : tree.write(std::string("Users/") + entry.name, "x");
    ASSERT_EQ(chown(path.c_str(), entry.owner, 20), 0);
  }
  ASSERT_EQ(symlink(tree.path("Users/alice").c_str(), tree.path("Users/linked").c_str()), 0);

  auto users = Discovery::localUsers(*test::files(), tree.path("Users"));
  std::vector<Discovery::LocalUser> expected{{"alice", 501, tree.path("Users/alice")},
                                             {"bob", 502, tree.path("Users/bob")},
                                             {"linked", 501, tree.path("Users/linked")}};
  EXPECT_EQ(users, expected);
  EXPECT_TRUE(Discovery::localUsers(*test::files(), tree.path("missing")).empty());
}

TEST_F(DiscoveryTest, DefaultApplicationDirectoriesFollowTheUsers) {
  Discovery d(test::files(), test::processTable(), std::vector{alice, bob});
  EXPECT_EQ(d.applicationDirectories(),
            (std::vector<std::string>{"/Applications", alice.home + "/Applications",
                                      bob.home + "/Applications"}));
  Discovery given(test::files(), test::processTable(), std::vector{alice},
                  std::vector<std::string>{"/Elsewhere"});
  EXPECT_EQ(given.applicationDirectories(), std::vector<std::string>{"/Elsewhere"});
}

TEST_F(DiscoveryTest, ExpandGivesOneCandidatePerUserForTildePatternsOnly) {
  auto d = discovery();
  EXPECT_EQ(d.expand("~/.tool/config.json"), (Pairs{{alice.home + "/.tool/config.json", "alice"},
                                                    {bob.home + "/.tool/config.json", "bob"}}));
  EXPECT_EQ(d.expand("/opt/tool/bin/tool"), (Pairs{{"/opt/tool/bin/tool", std::nullopt}}));
  EXPECT_EQ(d.expand("~alice/x"), (Pairs{{"~alice/x", std::nullopt}}));
  Discovery nobody(test::files(), test::processTable(), std::vector<Discovery::LocalUser>{},
                   std::vector<std::string>{});
  EXPECT_TRUE(nobody.expand("~/.tool").empty());

  tree.write("Users/bob/.tool/a.json", "{}");
  tree.write("Users/bob/.tool/b.json", "{}");
  EXPECT_EQ(d.expand("~/.tool/*.json"),
            (Pairs{{bob.home + "/.tool/a.json", "bob"}, {bob.home + "/.tool/b.json", "bob"}}));
}

TEST_F(DiscoveryTest, GlobMatchesSortedNamesPerBase) {
  tree.write("g/one/c.txt", "");
  tree.write("g/one/.hidden", "");
  tree.write("g/one/a.txt", "");
  tree.write("g/two/b.txt", "");
  tree.write("g/file", "");
  tree.write("g/one/x/keep", "");

  EXPECT_EQ(Discovery::glob(*test::files(), tree.path("g/*/*")),
            (std::vector<std::string>{tree.path("g/one/.hidden"), tree.path("g/one/a.txt"),
                                      tree.path("g/one/c.txt"), tree.path("g/one/x"),
                                      tree.path("g/two/b.txt")}));
  EXPECT_EQ(Discovery::glob(*test::files(), tree.path("g/*/[ab]*")),
            (std::vector<std::string>{tree.path("g/one/a.txt"), tree.path("g/two/b.txt")}));
  // A literal component is appended without any check.
  EXPECT_EQ(Discovery::glob(*test::files(), tree.path("g/*/x/keep")),
            (std::vector<std::string>{tree.path("g/file/x/keep"), tree.path("g/one/x/keep"),
                                      tree.path("g/two/x/keep")}));
  EXPECT_EQ(Discovery::glob(*test::files(), tree.path("missing/*")), std::vector<std::string>{});
  EXPECT_EQ(Discovery::glob(*test::files(), "/does/not/exist"),
            std::vector<std::string>{"/does/not/exist"});
  // A relative pattern with "*" is walked from the root.
  std::string relative = tree.path("g/t*").substr(1);
  EXPECT_EQ(Discovery::glob(*test::files(), relative),
            std::vector<std::string>{tree.path("g/two")});
  EXPECT_EQ(Discovery::glob(*test::files(), tree.path("g//t*")),
            std::vector<std::string>{tree.path("g/two")});
}

TEST_F(DiscoveryTest, VersionComesFromTheNearestPackageJsonWithAVersion) {
  tree.write("pkg/package.json", R"({"name":"tool","version":"2.3.4"})");
  tree.write("pkg/lib/package.json", R"({"name":"inner"})");
  std::string tool = tree.write("pkg/lib/bin/tool", "#!/bin/sh\n", 0755);
  EXPECT_EQ(Discovery::versionOfExecutable(*test::files(), tool), "2.3.4");

  // A link is resolved before searching.
  ASSERT_EQ(symlink(tool.c_str(), tree.path("tool-link").c_str()), 0);
  EXPECT_EQ(Discovery::versionOfExecutable(*test::files(), tree.path("tool-link")), "2.3.4");

  // A bad package.json or a non-text version is passed over.
  tree.write("bad/package.json", "{not json");
  tree.write("bad/a/package.json", R"({"version": 3})");
  tree.write("bad/a/b/package.json", "null");
  EXPECT_EQ(Discovery::versionOfExecutable(*test::files(), tree.write("bad/a/b/tool", "", 0755)),
            std::nullopt);

  // The package.json of the fourth parent is never read.
  tree.write("deep/package.json", R"({"version":"9.9.9"})");
  EXPECT_EQ(
      Discovery::versionOfExecutable(*test::files(), tree.write("deep/a/b/c/d/tool", "", 0755)),
      std::nullopt);
  EXPECT_EQ(Discovery::versionOfExecutable(*test::files(), tree.write("deep/a/b/c/tool", "", 0755)),
            "9.9.9");

  // A relative path that cannot be resolved is taken from the working directory, parents and all.
  tree.write("rel/package.json", R"({"version":"4.0.0"})");
  std::string previous = std::filesystem::current_path();
  std::filesystem::current_path(tree.mkdir("rel/a"));
  auto relative = Discovery::versionOfExecutable(*test::files(), "b/tool");
  std::filesystem::current_path(previous);
  EXPECT_EQ(relative, "4.0.0");
}

TEST_F(DiscoveryTest, VersionFallsBackToAVersionLikePathComponent) {
  struct Case {
    const char* relative;
    std::optional<std::string> version;
  };
  for (const Case& c : std::vector<Case>{
           {"v/0.1.5/bin/tool", "0.1.5"},
           {"v/1.2.3-beta.1/tool", "1.2.3-beta.1"},
           {"v/10.0-rc/x/tool", "10.0-rc"},
           {"v/1.0/2.0/tool", "2.0"},
           {"v/release-1.2/tool", std::nullopt},
           {"v/1password/tool", std::nullopt},
           {"v/2024_1.0/tool", std::nullopt},
           {"v/1.a2/tool", "1.a2"},
           // Numbers and letters of any script count, per user-perceived character.
           {"v/1.0-\u03b2/tool", "1.0-\u03b2"},        // Greek beta
           {"v/\u0661.\u0662/tool", "\u0661.\u0662"},  // Arabic-Indic digits
           {"v/2.1-rc\u0301/tool", "2.1-rc\u0301"},    // c with a combining accent
           {"v/\u0661x.2/tool", std::nullopt},         // a letter in the first piece
           {"v/1.0-\u20ac/tool", std::nullopt},        // the euro sign is neither
       }) {
    std::string path = tree.write(c.relative, "", 0755);
    EXPECT_EQ(Discovery::versionOfExecutable(*test::files(), path), c.version) << c.relative;
  }
}

TEST_F(DiscoveryTest, RunFindsAppsExecutablesProcessesAndUserConfigs) {
  tree.write("Applications/Tool.app/Contents/Info.plist",
             infoPlist("<key>CFBundleIdentifier</key><string>com.example.tool</string>"
                       "<key>CFBundleShortVersionString</key><string>1.4</string>"));
  tree.write("Users/alice/Applications/Tool.app/Contents/Info.plist",
             infoPlist("<key>CFBundleIdentifier</key><string>com.example.tool</string>"
                       "<key>CFBundleShortVersionString</key><integer>2</integer>"));
  tree.write("Applications/NoID.app/Contents/Info.plist",
             infoPlist("<key>CFBundleName</key><string>x</string>"));
  tree.write("Applications/Broken.app/Contents/Info.plist", "not a plist");
  tree.write("Applications/Tool.app.txt/Contents/Info.plist",
             infoPlist("<key>CFBundleIdentifier</key><string>com.example.tool</string>"));
  tree.write("Applications/Nested/Deep.app/Contents/Info.plist",
             infoPlist("<key>CFBundleIdentifier</key><string>com.example.tool</string>"));

  tree.write("opt/tool/package.json", R"({"version":"0.9.0"})");
  std::string exe = tree.write("opt/tool/bin/tool", "", 0750);
  ASSERT_EQ(symlink(exe.c_str(), tree.path("opt/tool-link").c_str()), 0);
  tree.write("opt/noexec", "", 0644);
  tree.mkdir("opt/adir");
  tree.write("Users/bob/.tool/config.json", "{}");
  tree.mkdir("Users/alice/.tool");

  std::string appPath = tree.path("Applications/Tool.app");
  std::vector<Discovery::RunningProcess> processes{
      {10, "root", "/usr/bin/other"},
      {11, "alice", exe},                                // by resolved path
      {12, "bob", "/somewhere/else/tool"},               // by name
      {13, "?", appPath + "/Contents/MacOS/Tool"},       // inside the app bundle
      {14, "alice", appPath + "/Contents/Frameworks/x"}  // not in MacOS
  };
  auto d = discovery(
      {tree.path("Applications"), tree.path("Users/alice/Applications"), tree.path("missing")},
      processes);

  Harness tool;
  tool.id = "tool";
  tool.displayName = "Tool";
  tool.status = Harness::Status::experimental;
  tool.detect =
      Detection{std::vector<std::string>{"com.example.tool"},
                std::vector<std::string>{tree.path("opt/tool-link"), tree.path("opt/tool-link"),
                                         tree.path("opt/noexec"), tree.path("opt/adir"),
                                         tree.path("opt/missing")},
                std::vector<std::string>{"tool", "Tool"},
                std::vector<std::string>{"~/.tool", "~/.tool/config.json", "~/.tool"}};
  Harness hidden;  // no detection block: no entry
  hidden.id = "hidden";
  Harness empty;
  empty.id = "empty";
  empty.displayName = "Empty";
  empty.detect = Detection{};
  Catalog catalog{2, "1.0", {tool, hidden, empty}};

  auto inventory = d.run(catalog);
  ASSERT_EQ(inventory.size(), 2u);
  const auto& entry = inventory[0];
  EXPECT_EQ(entry.id, "tool");
  EXPECT_EQ(entry.displayName, "Tool");
  EXPECT_EQ(entry.catalogStatus, "experimental");
  std::vector<Discovery::Installation> installations{
      {appPath, std::nullopt, "1.4", Kind::app},
      {tree.path("Users/alice/Applications/Tool.app"), "alice", std::nullopt, Kind::app},
      {tree.path("opt/tool-link"), std::nullopt, "0.9.0", Kind::executable}};
  EXPECT_EQ(entry.installations, installations);
  EXPECT_TRUE(entry.installed);
  EXPECT_EQ(entry.processes,
            (std::vector<Discovery::RunningProcess>{processes[1], processes[2], processes[3]}));
  EXPECT_TRUE(entry.running);
  EXPECT_EQ(entry.userConfigs, (std::vector<std::string>{
                                   tree.path("Users/alice/.tool"), tree.path("Users/bob/.tool"),
                                   tree.path("Users/bob/.tool/config.json"),
                                   tree.path("Users/alice/.tool"), tree.path("Users/bob/.tool")}));

  Discovery::HarnessInventory nothing{"empty", "Empty", "supported", false, false, {}, {}, {}};
  EXPECT_EQ(inventory[1], nothing);
}

// Users control the folders that are read: a FIFO or a device where a file is expected is
// passed over at once, never opened for a blocking read.
TEST_F(DiscoveryTest, FilesThatAreNotRegularAreSkippedWithoutWaiting) {
  tree.write("pkg/package.json", R"({"version":"3.1.0"})");
  std::string tool = tree.write("pkg/bin/tool", "", 0755);
  ASSERT_EQ(mkfifo(tree.path("pkg/bin/package.json").c_str(), 0644), 0);
  EXPECT_EQ(Discovery::versionOfExecutable(*test::files(), tool), "3.1.0");

  tree.write("Applications/Real.app/Contents/Info.plist",
             infoPlist("<key>CFBundleIdentifier</key><string>com.example.tool</string>"));
  tree.mkdir("Applications/Fifo.app/Contents");
  ASSERT_EQ(mkfifo(tree.path("Applications/Fifo.app/Contents/Info.plist").c_str(), 0644), 0);
  tree.mkdir("Applications/Null.app/Contents");
  ASSERT_EQ(symlink("/dev/null", tree.path("Applications/Null.app/Contents/Info.plist").c_str()),
            0);

  Harness harness;
  harness.id = "tool";
  harness.detect = Detection{std::vector<std::string>{"com.example.tool"}};
  auto inventory = discovery({tree.path("Applications")}).run({2, "1", {harness}});
  ASSERT_EQ(inventory.size(), 1u);
  EXPECT_EQ(inventory[0].installations,
            (std::vector<Discovery::Installation>{
                {tree.path("Applications/Real.app"), std::nullopt, std::nullopt, Kind::app}}));
}

TEST_F(DiscoveryTest, ProcessTableOfThisMachineHoldsThisProcess) {
  auto table = Discovery::processTable(platform::SystemProcessTable());
  std::string self = resolvedPath("/proc/self/exe");
  auto found = std::find_if(table.begin(), table.end(), [](const auto& process) {
    return process.pid == static_cast<std::int32_t>(getpid());
  });
  ASSERT_NE(found, table.end());
  EXPECT_EQ(found->path, self);
  EXPECT_FALSE(found->user.empty());
  if (geteuid() == 0) {
    EXPECT_EQ(found->user, "root");
  }

  // A harness naming this test program by its file name sees this process running.
  Harness me;
  me.id = "me";
  me.detect = Detection{std::nullopt, std::nullopt,
                        std::vector<std::string>{std::filesystem::path(self).filename()}};
  auto inventory = Discovery(test::files(), std::make_shared<platform::SystemProcessTable>(),
                             std::vector<Discovery::LocalUser>{}, std::vector<std::string>{})
                       .run({2, "1", {me}});
  ASSERT_EQ(inventory.size(), 1u);
  EXPECT_TRUE(inventory[0].running);
}

TEST(DiscoveryRecordsTest, JSONFormsRoundTripAndRefuseWrongShapes) {
  Discovery::HarnessInventory inventory{"codex",
                                        "Codex CLI",
                                        "supported",
                                        true,
                                        true,
                                        {{"/opt/codex", std::nullopt, "1.0", Kind::executable},
                                         {"/Applications/C.app", "alice", {}, Kind::app}},
                                        {{42, "?", "/opt/codex"}},
                                        {"/Users/alice/.codex"}};
  Value value = toValue(inventory);
  EXPECT_EQ(json::write(value.asObject()->at("installations")),
            R"([{"kind":"executable","path":"/opt/codex","version":"1.0"},)"
            R"({"kind":"app","path":"/Applications/C.app","user":"alice"}])");
  EXPECT_EQ(harnessInventoryFromValue(Value::parseJSON(json::write(value))), inventory);

  auto withExtra = value;
  withExtra.asObject()->emplace("unknown", 1);
  EXPECT_EQ(harnessInventoryFromValue(withExtra), inventory);

  for (const char* key : {"id", "installed", "processes", "userConfigs"}) {
    auto missing = value;
    missing.asObject()->erase(key);
    EXPECT_THROW(harnessInventoryFromValue(missing), FileApplier::DecodingError) << key;
  }
  auto wrong = value;
  (*wrong.asObject())["running"] = "yes";
  EXPECT_THROW(harnessInventoryFromValue(wrong), FileApplier::DecodingError);
  EXPECT_THROW(runningProcessFromValue(Value::parseJSON(R"({"pid":1.5,"user":"a","path":"/"})")),
               FileApplier::DecodingError);
  EXPECT_THROW(
      runningProcessFromValue(Value::parseJSON(R"({"pid":4294967296,"user":"a","path":"/"})")),
      FileApplier::DecodingError);
}

}  // namespace
}  // namespace tavra
