#include "tavra/path_policy.h"

#include <gtest/gtest.h>

#include "tavra/error.h"

namespace tavra {
namespace {

TEST(PathPolicyTest, CanonicalPrefixesOnlyTheThreeAliasedRoots) {
  const std::pair<std::string, std::string> cases[] = {
      {"/etc", "/private/etc"},
      {"/etc/codex/config.toml", "/private/etc/codex/config.toml"},
      {"/var/folders/x", "/private/var/folders/x"},
      {"/tmp", "/private/tmp"},
      {"/tmp/", "/private/tmp/"},
      {"/etcetera", "/etcetera"},
      {"/private/etc/x", "/private/etc/x"},
      {"etc/x", "etc/x"},
      {"/Users/a", "/Users/a"},
      {"/ETC/x", "/ETC/x"},
      {"//etc/x", "//etc/x"},
      {"", ""},
  };
  for (const auto& [path, expected] : cases) {
    EXPECT_EQ(PathPolicy::canonical(path), expected) << path;
  }
}

TEST(PathPolicyTest, BuiltInPrefixesInOrder) {
  EXPECT_EQ(PathPolicy::builtInPrefixes(),
            (std::vector<std::string>{
                "/Library/Application Support/ClaudeCode/",
                "/Library/Application Support/opencode/",
                "/Library/Application Support/GeminiCli/",
                "/private/etc/codex/",
                "/Library/Managed Preferences/com.anthropic.claudefordesktop.plist",
            }));
}

TEST(PathPolicyTest, InitCanonicalisesBothListsInOrderWithoutDeduplicating) {
  const PathPolicy policy({"/etc/a/", "/x"}, {"/tmp/agents/", "/x", " /y "});
  EXPECT_EQ(policy.prefixes(), (std::vector<std::string>{"/private/etc/a/", "/x",
                                                         "/private/tmp/agents/", "/x", " /y "}));
}

struct CheckCase {
  std::string path;
  std::string result;  // the canonical form returned, or the full error text
  bool allowed;
};

TEST(PathPolicyTest, CheckTable) {
  const std::string support = "/Library/Application Support/Tavra";
  const std::string prefs = "/Library/Managed Preferences";
  const PathPolicy policy(PathPolicy::builtInPrefixes(),
                          {"/tmp/agents/", "/opt/one.json", prefs + "/"});
  const CheckCase cases[] = {
      {"/etc/codex/config.toml", "/private/etc/codex/config.toml", true},
      {"codex/config.toml",
       "path not allowed: codex/config.toml: must be an absolute, normalised path", false},
      {"", "path not allowed: : must be an absolute, normalised path", false},
      {"/Library/Application Support/ClaudeCode/../Tavra/state.json",
       "path not allowed: /Library/Application Support/ClaudeCode/../Tavra/state.json: must be "
       "an absolute, normalised path",
       false},
      {"/Library/Application Support/ClaudeCode/./x.json",
       "path not allowed: /Library/Application Support/ClaudeCode/./x.json: must be an "
       "absolute, normalised path",
       false},
      {"/Library/Application Support/ClaudeCode/..",
       "path not allowed: /Library/Application Support/ClaudeCode/..: must be an absolute, "
       "normalised path",
       false},
      {"/Library/Application Support/ClaudeCode//x.json",
       "/Library/Application Support/ClaudeCode//x.json", true},
      {"/Library/Application Support/ClaudeCode/.x/..y",
       "/Library/Application Support/ClaudeCode/.x/..y", true},
      {"/Library/Application Support/ClaudeCode/sub/",
       "/Library/Application Support/ClaudeCode/sub/", true},
      {support + "/state.json", "path not allowed: " + support + "/state.json: reserved for Tavra",
       false},
      {prefs + "/com.zelkorandin.tavra.policy.team.plist",
       "path not allowed: " + prefs +
           "/com.zelkorandin.tavra.policy.team.plist: reserved for Tavra",
       false},
      {prefs + "/com.zelkorandin.tavra.plist",
       "path not allowed: " + prefs + "/com.zelkorandin.tavra.plist: reserved for Tavra", false},
      {prefs + "/com.zelkorandin.tavrax",
       "path not allowed: " + prefs + "/com.zelkorandin.tavrax: reserved for Tavra", false},
      {prefs + "/com.other.plist", prefs + "/com.other.plist", true},
      {prefs + "/com.anthropic.claudefordesktop.plist",
       prefs + "/com.anthropic.claudefordesktop.plist", true},
      {"/Library/Application Support/ClaudeCode",
       "path not allowed: /Library/Application Support/ClaudeCode", false},
      {"/library/application support/claudecode/x",
       "path not allowed: /library/application support/claudecode/x", false},
      {"/tmp/agents/a.json", "/private/tmp/agents/a.json", true},
      {"/private/tmp/agents/a.json", "/private/tmp/agents/a.json", true},
      {"/opt/one.json", "/opt/one.json", true},
      {"/opt/one.json.bak", "path not allowed: /opt/one.json.bak", false},
      {"/opt/one.json/x", "path not allowed: /opt/one.json/x", false},
  };
  for (const auto& c : cases) {
    if (c.allowed) {
      EXPECT_EQ(policy.check(c.path), c.result) << c.path;
      continue;
    }
    try {
      policy.check(c.path);
      ADD_FAILURE() << c.path << " was allowed";
    } catch (const TavraError& error) {
      EXPECT_EQ(error.kind(), TavraError::Case::pathNotAllowed) << c.path;
      EXPECT_EQ(error.description(), c.result) << c.path;
    }
  }
}

TEST(PathPolicyTest, ClaudeDesktopFileIsExactAndItsBackupNameIsNot) {
  const PathPolicy policy(PathPolicy::builtInPrefixes(), {});
  const std::string file = "/Library/Managed Preferences/com.anthropic.claudefordesktop.plist";
  EXPECT_EQ(policy.check(file), file);
  EXPECT_THROW(policy.check(file + ".bak"), TavraError);
}

TEST(PathPolicyTest, ReservedEvenWhenASupportFolderIsAllowed) {
  const PathPolicy policy({}, {"/Library/Application Support/", "/"});
  EXPECT_THROW(policy.check("/Library/Application Support/Tavra/status.json"), TavraError);
  // The support directory itself, without a final "/", is not the reserved folder text.
  EXPECT_EQ(policy.check("/Library/Application Support/Tavra"),
            "/Library/Application Support/Tavra");
  EXPECT_EQ(policy.check("/anything"), "/anything");
}

// The system's own places are one file or folder however their path is spelled: a doubled "/"
// reaches the same file, and so does another letter case on a Mac's case-insensitive disk.
TEST(PathPolicyTest, ReservedWhateverTheSpelling) {
  const PathPolicy policy({}, {"/Library/Application Support/", "/Library/Managed Preferences/"});
  for (const std::string path : {
           "/Library/Application Support//Tavra/state.json",
           "/Library/Application Support/Tavra//applied/x",
           "/Library//Application Support/Tavra/status.json",
           "/Library/Application Support/tavra/state.json",
           "/LIBRARY/application support/TAVRA/state.json",
           "/Library/Managed Preferences//com.zelkorandin.tavra.plist",
           "/Library/Managed Preferences/COM.Zelkorandin.Tavra.policy.team.plist",
       }) {
    EXPECT_TRUE(PathPolicy::isReserved(path)) << path;
    try {
      policy.check(path);
      ADD_FAILURE() << path << " was allowed";
    } catch (const TavraError& error) {
      EXPECT_EQ(error.description(), "path not allowed: " + path + ": reserved for Tavra");
    }
  }
  EXPECT_FALSE(PathPolicy::isReserved("/Library/Application Support/Tavra2/x"));
  EXPECT_FALSE(PathPolicy::isReserved("/Library/Managed Preferences/com.zelkorandin.tav"));
  EXPECT_EQ(policy.check("/Library/Application Support/Tavra2/x"),
            "/Library/Application Support/Tavra2/x");
}

// A folder entry allows what lies below the folder, not the folder's own name: a file written
// there would stand outside the folder, in its parent.
TEST(PathPolicyTest, AFolderEntryDoesNotAllowTheFolderItself) {
  const PathPolicy policy(PathPolicy::builtInPrefixes(), {"/tmp/agents/"});
  for (const std::string path :
       {"/Library/Application Support/ClaudeCode/", "/Library/Application Support/ClaudeCode//",
        "/tmp/agents/", "/private/tmp/agents//"}) {
    try {
      policy.check(path);
      ADD_FAILURE() << path << " was allowed";
    } catch (const TavraError& error) {
      EXPECT_EQ(error.description(), "path not allowed: " + path);
    }
  }
  EXPECT_EQ(policy.check("/tmp/agents//a.json"), "/private/tmp/agents//a.json");
}

TEST(PathPolicyTest, IsReservedNamesTheSystemsOwnPlaces) {
  EXPECT_TRUE(PathPolicy::isReserved("/Library/Application Support/Tavra/state.json"));
  EXPECT_TRUE(PathPolicy::isReserved("/Library/Managed Preferences/com.zelkorandin.tavra.plist"));
  EXPECT_TRUE(PathPolicy::isReserved("/Library/Managed Preferences/com.zelkorandin.tavrax"));
  EXPECT_FALSE(PathPolicy::isReserved("/Library/Application Support/Tavra"));
  EXPECT_FALSE(PathPolicy::isReserved("/Library/Application Support/ClaudeCode/x.json"));
  EXPECT_FALSE(PathPolicy::isReserved("/work/sim/Library/Application Support/Tavra/state.json"));
}

TEST(PathPolicyTest, EmptyPolicyAllowsNothing) {
  const PathPolicy policy({}, {});
  EXPECT_THROW(policy.check("/a"), TavraError);
  const PathPolicy withEmptyEntry({""}, {});
  EXPECT_THROW(withEmptyEntry.check("/a"), TavraError);
}

}  // namespace
}  // namespace tavra
