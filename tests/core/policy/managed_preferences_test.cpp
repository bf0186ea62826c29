#include "tavra/managed_preferences.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "support/faulty_file_system.h"
#include "support/services.h"
#include "support/temp_tree.h"
#include "tavra/error.h"

namespace tavra {
namespace {

constexpr uid_t kNobody = 65534;

std::string plist(std::string_view body) {
  return std::string(
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
             "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
             "<plist version=\"1.0\">\n") +
         std::string(body) + "\n</plist>\n";
}

// A fragment payload configuring one output of one harness.
std::string fragmentPlist(std::string_view extra = "") {
  return plist(std::string("<dict>") + std::string(extra) +
               "<key>Harnesses</key><dict><key>claude</key><dict><key>settings</key>"
               "<dict><key>model</key><string>opus</string></dict></dict></dict></dict>");
}

std::string domainOf(std::string_view name) {
  return "com.zelkorandin.tavra.policy." + std::string(name);
}

class ManagedPreferencesTest : public ::testing::Test {
 protected:
  // A fragment file for `name` (the domain suffix) in the preferences folder.
  std::string writeFragment(std::string_view name, std::string_view extra = "") {
    return tree.write("prefs/" + domainOf(name) + ".plist", fragmentPlist(extra));
  }
  ManagedPreferences reader(bool requireRootOwned) const {
    return ManagedPreferences(tree.path("prefs"), requireRootOwned, test::files());
  }
  static bool isRoot() { return ::geteuid() == 0; }

  test::TempTree tree;
};

TEST_F(ManagedPreferencesTest, PathIsPlainConcatenation) {
  EXPECT_EQ(ManagedPreferences("/Library/Managed Preferences", true, test::files()).path("com.x"),
            "/Library/Managed Preferences/com.x.plist");
  EXPECT_EQ(ManagedPreferences("/a/", false, test::files()).path("d"), "/a//d.plist");
}

TEST_F(ManagedPreferencesTest, MissingDirectoryGivesEmptyScanAndDefaults) {
  const ManagedPreferences missing(tree.path("nowhere"), true, test::files());
  EXPECT_EQ(missing.fragments(), ManagedPreferences::FragmentScan());
  EXPECT_EQ(missing.settings(), TavraSettings());
  EXPECT_EQ(missing.read("com.zelkorandin.tavra"), std::nullopt);
  EXPECT_FALSE(missing.exists("com.zelkorandin.tavra"));
}

// A status that cannot be taken is no missing file: read as one, a passing I/O error would look
// like a policy that was taken away, and a complete pass would release every managed file.
TEST_F(ManagedPreferencesTest, AnIOErrorIsNeverTakenForAMissingFile) {
  writeFragment("a");
  const auto files = std::make_shared<test::FaultyFileSystem>(test::files());
  const ManagedPreferences failing(tree.path("prefs"), false, files);

  files->arm(test::FaultyFileSystem::Call::status, 1, test::FaultyFileSystem::Fault::ioError);
  EXPECT_THROW(failing.fragments(), std::system_error);  // the directory's own status

  files->arm(test::FaultyFileSystem::Call::status, 2, test::FaultyFileSystem::Fault::ioError);
  const auto scan = failing.fragments();  // the fragment file's status
  EXPECT_TRUE(scan.fragments.empty());
  EXPECT_EQ(
      scan.errors.at(domainOf("a")),
      "cannot read " + tree.path("prefs/" + domainOf("a") + ".plist") + ": Input/output error");

  files->arm(test::FaultyFileSystem::Call::status, 1, test::FaultyFileSystem::Fault::ioError);
  EXPECT_THROW(failing.read(domainOf("a")), std::system_error);
  files->disarm();
  EXPECT_EQ(failing.fragments().fragments.size(), 1u);
}

TEST_F(ManagedPreferencesTest, ReadGivesTheRootValueOfAnyKind) {
  tree.write("prefs/a.plist", plist("<array><integer>1</integer><true/></array>"));
  const auto value = reader(false).read("a");
  ASSERT_TRUE(value);
  EXPECT_EQ(*value, Value(Value::Array{Value(1), Value(true)}));
  EXPECT_TRUE(reader(false).exists("a"));
  EXPECT_EQ(reader(false).read("b"), std::nullopt);
}

TEST_F(ManagedPreferencesTest, ReadPassesTheReadersErrorOn) {
  tree.write("prefs/bad.plist", "this is no property list");
  EXPECT_THROW(reader(false).read("bad"), Value::ReadError);
}

TEST_F(ManagedPreferencesTest, ScanKeepsOnlyFragmentNamesInByteOrder) {
  writeFragment("b");
  writeFragment("a");
  writeFragment("B");
  for (const char* other :
       {"com.zelkorandin.tavra.policy.a.plist.bak", "com.zelkorandin.tavra.plist",
        "COM.zelkorandin.tavra.policy.a.plist", "com.zelkorandin.tavra.policy.c.PLIST",
        "org.example.plist", "com.zelkorandin.tavra.policyx.plist"}) {
    tree.write(std::string("prefs/") + other, "not a plist");
  }
  tree.write("prefs/sub/" + domainOf("nested") + ".plist", fragmentPlist());

  const auto scan = reader(false).fragments();
  std::vector<std::string> ids;
  for (const auto& fragment : scan.fragments) ids.push_back(fragment.id);
  ASSERT_EQ(ids, (std::vector<std::string>{"B", "a", "b"}));
  EXPECT_TRUE(scan.errors.empty());
  EXPECT_TRUE(scan.disabled.empty());
  EXPECT_EQ(scan.fragments[1].sourceDomain, domainOf("a"));
}

// The files of one scan share one read buffer: each still comes out whole, a short file after a
// long one and a long one after a short one.
TEST_F(ManagedPreferencesTest, EveryFileOfAScanIsReadWhole) {
  const std::string longText(5000, 'x');
  writeFragment("a-short");
  writeFragment("b-long", "<key>Description</key><string>" + longText + "</string>");
  writeFragment("c-short");
  writeFragment("d-empty-description", "<key>Description</key><string></string>");
  const auto scan = reader(false).fragments();
  ASSERT_EQ(scan.fragments.size(), 4u);
  EXPECT_TRUE(scan.errors.empty());
  EXPECT_EQ(scan.fragments[1].description, longText);
  for (const auto& fragment : scan.fragments) {
    EXPECT_EQ(fragment.harnesses.at("claude").at("settings"),
              Value(Value::Object{{"model", "opus"}}))
        << fragment.id;
  }
}

TEST_F(ManagedPreferencesTest, EachDomainLandsInOneFieldAndBadFilesDoNotStopTheScan) {
  writeFragment("a-off", "<key>Enabled</key><false/>");
  writeFragment("b-bad", "<key>Priority</key><string>ten</string>");
  tree.write("prefs/" + domainOf("c-junk") + ".plist", "junk");
  tree.write("prefs/" + domainOf("d-array") + ".plist", plist("<array/>"));
  writeFragment("e-good", "<key>Priority</key><integer>3</integer>");
  tree.write("prefs/" + domainOf("f-date") + ".plist",
             plist("<dict><key>Harnesses</key><dict/><key>When</key>"
                   "<date>2024-05-06T07:08:09Z</date></dict>"));

  const auto scan = reader(false).fragments();
  EXPECT_EQ(scan.disabled, (std::vector<std::string>{domainOf("a-off")}));
  ASSERT_EQ(scan.fragments.size(), 2u);
  EXPECT_EQ(scan.fragments[0].id, "e-good");
  EXPECT_EQ(scan.fragments[0].priority, 3);
  EXPECT_EQ(scan.fragments[1].id, "f-date");
  ASSERT_EQ(scan.errors.size(), 3u);
  EXPECT_EQ(scan.errors.at(domainOf("b-bad")),
            "policy fragment: " + domainOf("b-bad") + ": Priority must be an integer");
  EXPECT_EQ(scan.errors.at(domainOf("d-array")),
            "policy fragment: " + domainOf("d-array") + ": root is not a dictionary");
  EXPECT_FALSE(scan.errors.at(domainOf("c-junk")).empty());
}

TEST_F(ManagedPreferencesTest, DatesOfAnyFourDigitYearKeepFragmentsAndSettings) {
  // "Never expires" and other dates far from today: no error, no reset to the defaults.
  writeFragment("far",
                "<key>Until</key><date>9999-12-31T23:59:59Z</date>"
                "<key>Since</key><date>1900-01-01T00:00:00Z</date>");
  tree.write("prefs/com.zelkorandin.tavra.plist",
             plist("<dict><key>DryRun</key><true/>"
                   "<key>Until</key><date>0001-01-01T00:00:00Z</date></dict>"));
  const auto scan = reader(false).fragments();
  EXPECT_TRUE(scan.errors.empty());
  ASSERT_EQ(scan.fragments.size(), 1u);
  EXPECT_EQ(scan.fragments[0].id, "far");
  EXPECT_TRUE(reader(false).settings().dryRun);
}

TEST_F(ManagedPreferencesTest, DanglingLinkCountsAsNoFile) {
  tree.mkdir("prefs");
  std::filesystem::create_symlink(tree.path("missing.plist"),
                                  tree.path("prefs/" + domainOf("gone") + ".plist"));
  for (bool check : {true, false}) {
    EXPECT_EQ(reader(check).fragments(), ManagedPreferences::FragmentScan()) << check;
    EXPECT_FALSE(reader(check).exists(domainOf("gone")));
  }
}

// A link that leads to itself leads nowhere, like a dangling one: no file, no error (a link loop
// at the folder itself is no folder either).
TEST_F(ManagedPreferencesTest, LinkLoopCountsAsNoFile) {
  tree.mkdir("prefs");
  const std::string loop = tree.path("prefs/" + domainOf("loop") + ".plist");
  std::filesystem::create_symlink(loop, loop);
  for (bool check : {true, false}) {
    EXPECT_EQ(reader(check).fragments(), ManagedPreferences::FragmentScan()) << check;
    EXPECT_EQ(reader(check).read(domainOf("loop")), std::nullopt) << check;
    EXPECT_FALSE(reader(check).exists(domainOf("loop")));
  }
  std::filesystem::create_symlink(tree.path("cycle"), tree.path("cycle"));
  EXPECT_EQ(ManagedPreferences(tree.path("cycle"), true, test::files()).fragments(),
            ManagedPreferences::FragmentScan());
}

TEST_F(ManagedPreferencesTest, LinkIsRefusedWithTheCheckAndFollowedWithout) {
  const std::string target = tree.write("elsewhere/target.plist", fragmentPlist());
  tree.mkdir("prefs");
  const std::string link = tree.path("prefs/" + domainOf("team") + ".plist");
  std::filesystem::create_symlink(target, link);

  const auto checked = reader(true).fragments();
  EXPECT_TRUE(checked.fragments.empty());
  EXPECT_EQ(checked.errors.at(domainOf("team")),
            "policy fragment: " + link + " is not a root-owned regular file; ignored");

  const auto unchecked = reader(false).fragments();
  ASSERT_EQ(unchecked.fragments.size(), 1u);
  EXPECT_EQ(unchecked.fragments[0].id, "team");
  EXPECT_TRUE(reader(true).exists(domainOf("team")));
}

TEST_F(ManagedPreferencesTest, FolderNamedLikeAFragment) {
  const std::string folder = tree.mkdir("prefs/" + domainOf("dir") + ".plist");
  EXPECT_EQ(reader(true).fragments().errors.at(domainOf("dir")),
            "policy fragment: " + folder + " is not a root-owned regular file; ignored");
  EXPECT_EQ(reader(false).fragments().errors.at(domainOf("dir")), "io: cannot read " + folder);
}

TEST_F(ManagedPreferencesTest, FifoNamedLikeAFragmentIsNotWaitedOn) {
  tree.mkdir("prefs");
  const std::string fifo = tree.path("prefs/" + domainOf("pipe") + ".plist");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_EQ(reader(false).fragments().errors.at(domainOf("pipe")), "io: cannot read " + fifo);
  EXPECT_EQ(reader(true).fragments().errors.at(domainOf("pipe")),
            "policy fragment: " + fifo + " is not a root-owned regular file; ignored");
}

TEST_F(ManagedPreferencesTest, RootOwnedFilesAreReadWithTheCheck) {
  if (!isRoot()) GTEST_SKIP() << "needs root: the files must be owned by uid 0";
  writeFragment("team");
  const auto scan = reader(true).fragments();
  ASSERT_EQ(scan.fragments.size(), 1u);
  EXPECT_TRUE(scan.errors.empty());
}

TEST_F(ManagedPreferencesTest, FilesOfAnotherOwnerAreRefusedWithTheCheck) {
  if (!isRoot()) GTEST_SKIP() << "needs root: chown to another user";
  const std::string file = writeFragment("team");
  ASSERT_EQ(::chown(file.c_str(), kNobody, kNobody), 0);
  const auto scan = reader(true).fragments();
  EXPECT_TRUE(scan.fragments.empty());
  EXPECT_EQ(scan.errors.at(domainOf("team")),
            "policy fragment: " + file + " is not a root-owned regular file; ignored");
  EXPECT_THROW(reader(true).read(domainOf("team")), TavraError);
  // Without the check the owner does not matter, nor do the permission bits.
  ASSERT_EQ(::chmod(file.c_str(), 0666), 0);
  EXPECT_EQ(reader(false).fragments().fragments.size(), 1u);
}

TEST_F(ManagedPreferencesTest, OnlyTheOwnerIsChecked) {
  if (!isRoot()) GTEST_SKIP() << "needs root: the files must be owned by uid 0";
  const std::string file = writeFragment("team");
  ASSERT_EQ(::chown(file.c_str(), 0, kNobody), 0);
  ASSERT_EQ(::chmod(file.c_str(), 0666), 0);
  EXPECT_EQ(reader(true).fragments().fragments.size(), 1u);
}

TEST_F(ManagedPreferencesTest, UnlistableDirectoryThrows) {
  tree.write("prefs", "a file, not a folder");
  EXPECT_THROW(reader(false).fragments(), std::system_error);
}

TEST_F(ManagedPreferencesTest, SettingsAreReadFromTheSettingsDomain) {
  tree.write("prefs/com.zelkorandin.tavra.plist",
             plist("<dict><key>ReapplyInterval</key><integer>30</integer>"
                   "<key>CatalogRefreshInterval</key><real>600</real>"
                   "<key>CatalogURL</key><string>file:///Users/Shared/catalog.json</string>"
                   "<key>DryRun</key><string>yes</string>"
                   "<key>DisabledHarnesses</key><array><string>codex</string>"
                   "<string>codex</string></array></dict>"));
  const TavraSettings settings = reader(false).settings();
  EXPECT_EQ(settings.reapplyInterval, 60);
  EXPECT_EQ(settings.catalogRefreshInterval, 600);
  EXPECT_EQ(settings.catalogURL.text(), "file:///Users/Shared/catalog.json");
  EXPECT_TRUE(settings.dryRun);
  EXPECT_EQ(settings.disabledHarnesses.size(), 1u);
  // The settings file is no fragment.
  EXPECT_EQ(reader(false).fragments(), ManagedPreferences::FragmentScan());
}

TEST_F(ManagedPreferencesTest, UnusableSettingsFilesGiveDefaults) {
  tree.write("prefs/com.zelkorandin.tavra.plist", plist("<array><string>x</string></array>"));
  EXPECT_EQ(reader(false).settings(), TavraSettings());
  tree.write("prefs/com.zelkorandin.tavra.plist", "junk");
  EXPECT_EQ(reader(false).settings(), TavraSettings());
}

TEST_F(ManagedPreferencesTest, SettingsOfAnotherOwnerGiveDefaults) {
  if (!isRoot()) GTEST_SKIP() << "needs root: chown to another user";
  const std::string file = tree.write("prefs/com.zelkorandin.tavra.plist",
                                      plist("<dict><key>DryRun</key><true/></dict>"));
  EXPECT_TRUE(reader(true).settings().dryRun);
  ASSERT_EQ(::chown(file.c_str(), kNobody, kNobody), 0);
  EXPECT_EQ(reader(true).settings(), TavraSettings());
  EXPECT_TRUE(reader(false).settings().dryRun);
}

TEST_F(ManagedPreferencesTest, EveryCallReadsTheFilesAgain) {
  const ManagedPreferences prefs = reader(false);
  EXPECT_TRUE(prefs.fragments().fragments.empty());
  writeFragment("late");
  EXPECT_EQ(prefs.fragments().fragments.size(), 1u);
}

}  // namespace
}  // namespace tavra
