// `profile`: a fragment or the settings wrapped into a configuration profile, read back by
// python3's plistlib; the fragment name rules, the input checks and the --output file, which is
// a new file of its own whatever another user left at its path.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include <thread>

#include "fake_context.h"
#include "support/faulty_file_system.h"
#include "support/forked_child.h"
#include "support/python.h"
#include "support/temp_tree.h"
#include "tavra/constants.h"
#include "tavra/plist.h"
#include "tavra/profile_builder.h"
#include "tool_fixtures.h"
#include "tool_process.h"

namespace tavra::test {
namespace {

const std::string teamFragment =
    R"({"Priority":3,"Description":"Team A","Harnesses":{"alpha":{"settings":{"model":"m"}}}})";

// The profile as python3's plistlib reads it, turned into a Value through JSON.
std::optional<Value> readWithPlistlib(const std::string& profile) {
  const PythonResult read = runPython(R"PY(
import json, plistlib, sys
print(json.dumps(plistlib.loads(sys.stdin.buffer.read()), sort_keys=True))
)PY",
                                      {}, profile);
  EXPECT_EQ(read.status, 0) << read.output;
  if (read.status != 0) return std::nullopt;
  return Value::parseJSON(read.output);
}

const Value& at(const Value& value, const std::string& key) {
  static const Value missing("<missing>");
  const Value::Object* object = value.asObject();
  if (object == nullptr || !object->contains(key)) return missing;
  return object->find(key)->second;
}

class ProfileTest : public ::testing::Test {
 protected:
  ToolResult profile(const std::vector<std::string>& words) {
    std::vector<std::string> all = {"profile"};
    all.insert(all.end(), words.begin(), words.end());
    return fake.run(all);
  }
  // The payload inside a profile printed by the tool.
  static Value innerPayload(const std::string& profileBytes) {
    return at(Value::parsePlist(profileBytes), "PayloadContent").asArray()->front();
  }

  TempTree tree;
  FakeContext fake;
  std::string team = tree.write("team.json", teamFragment);
};

TEST_F(ProfileTest, AFragmentProfileAsPlistlibReadsItTwiceTheSameBytes) {
  if (!pythonHas({"plistlib", "json"})) GTEST_SKIP() << "python3 with plistlib is not available";
  const std::vector<std::string> words = {"profile",        team,         "--name", "team-a",
                                          "--organization", "Example Org"};
  const ProcessResult first = runTavractl(words);
  ASSERT_EQ(first.status, 0) << first.errors;
  EXPECT_EQ(runTavractl(words).output, first.output);

  const std::optional<Value> read = readWithPlistlib(first.output);
  ASSERT_TRUE(read);
  const std::string domain = "com.zelkorandin.tavra.policy.team-a";
  EXPECT_EQ(at(*read, "PayloadType"), Value("Configuration"));
  EXPECT_EQ(at(*read, "PayloadIdentifier"), Value(domain + ".profile"));
  EXPECT_EQ(at(*read, "PayloadUUID"), Value(ProfileBuilder::stableUUID(domain + ".profile")));
  EXPECT_EQ(at(*read, "PayloadDisplayName"), Value("Tavra policy: team-a"));
  EXPECT_EQ(at(*read, "PayloadOrganization"), Value("Example Org"));
  EXPECT_EQ(at(*read, "PayloadScope"), Value("System"));
  const Value::Array* content = at(*read, "PayloadContent").asArray();
  ASSERT_TRUE(content != nullptr && content->size() == 1u);
  const Value& inner = content->front();
  EXPECT_EQ(at(inner, "PayloadType"), Value(domain));
  EXPECT_EQ(at(inner, "PayloadIdentifier"), Value(domain + ".payload"));
  EXPECT_EQ(at(inner, "PayloadDisplayName"), Value("Tavra policy: team-a"));
  EXPECT_EQ(at(inner, "PayloadOrganization"), Value("<missing>")) << "outer profile only";
  EXPECT_EQ(at(inner, "Priority"), Value(3));
  EXPECT_EQ(at(inner, "Harnesses"), Value::parseJSON(R"({"alpha":{"settings":{"model":"m"}}})"));
}

TEST_F(ProfileTest, TheNameIsLettersDigitsHyphensAndUnderscores) {
  for (const std::string name : {"team-a", "\xC3\xA9tude", "e\xCC\x81tude", "a_b-1", "x2",
                                 "\xE3\x83\x81\xE3\x83\xBC\xE3\x83\xA0", "_"}) {
    SCOPED_TRACE(name);
    const ToolResult result = profile({team, "--name", name});
    ASSERT_EQ(result.status, 0) << result.errors;
    EXPECT_EQ(at(innerPayload(result.output), "PayloadType"),
              Value("com.zelkorandin.tavra.policy." + name));
  }
  for (const std::string name :
       {"team.a", "team a", "team/a", "", "tab\t", "key\xF0\x9F\x94\x91", "a+b", "\xCC\x81"}) {
    SCOPED_TRACE(name);
    const ToolResult result = profile({team, "--name", name});
    EXPECT_EQ(result.status, 64);
    EXPECT_EQ(result.output, "");
    EXPECT_TRUE(result.errors.starts_with(
        "Error: --name is required (letters, digits, - and _)\nUsage: tavractl profile "))
        << result.errors;
  }
  EXPECT_EQ(profile({team}).status, 64);
}

TEST_F(ProfileTest, TheSettingsProfileIgnoresTheNameAndDoesNotParseAFragment) {
  const std::string settings =
      tree.write("settings.plist", plist::writeXML(Value::Object{{"ReapplyInterval", 120}}));
  const ToolResult result = profile({settings, "--settings", "--name", "not a name"});
  ASSERT_EQ(result.status, 0) << result.errors;
  const Value outer = Value::parsePlist(result.output);
  EXPECT_EQ(at(outer, "PayloadDisplayName"), Value("Tavra settings"));
  EXPECT_EQ(at(outer, "PayloadIdentifier"), Value("com.zelkorandin.tavra.profile"));
  EXPECT_EQ(at(innerPayload(result.output), "PayloadType"), Value("com.zelkorandin.tavra"));
  EXPECT_EQ(at(innerPayload(result.output), "ReapplyInterval"), Value(120));
  EXPECT_EQ(at(outer, "PayloadOrganization"), Value("<missing>"));
}

TEST_F(ProfileTest, ADisabledFragmentStillGivesAProfile) {
  const std::string off = tree.write("off.json", R"({"Enabled":false})");
  const ToolResult result = profile({off, "--name", "off"});
  ASSERT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(at(innerPayload(result.output), "Enabled"), Value(false));
}

TEST_F(ProfileTest, WithOutputStandardOutputHoldsOnlyTheWroteLine) {
  const ToolResult toStandardOutput = profile({team, "--name", "team-a"});
  const std::string file = tree.write("team.mobileconfig", std::string(100'000, 'x'));
  const ToolResult result = profile({team, "--name", "team-a", "--output", file});
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(result.output, "wrote " + file + " (domain com.zelkorandin.tavra.policy.team-a)\n");
  EXPECT_EQ(readFile(file), toStandardOutput.output);
  EXPECT_TRUE(toStandardOutput.output.ends_with("</plist>\n")) << "no line feed added";
}

TEST_F(ProfileTest, APayloadTheFragmentParserRefusesWritesNothing) {
  const std::string file = tree.path("out.mobileconfig");
  const std::string domain = "com.zelkorandin.tavra.policy.team";
  const std::string profileInput =
      tree.write("given.mobileconfig",
                 ProfileBuilder::mobileconfig(domain, Value::parseJSON(teamFragment), "Team"));
  for (const auto& [input, message] : std::vector<std::pair<std::string, std::string>>{
           {tree.write("high.json", R"({"Priority":"high","Harnesses":{}})"),
            "policy fragment: " + domain + ": Priority must be an integer"},
           {tree.write("text.json", R"("just text")"),
            "policy fragment: " + domain + ": root is not a dictionary"},
           // A profile given as input is not unpacked: it has no Harnesses of its own.
           {profileInput, "policy fragment: " + domain + ": missing Harnesses dictionary"}}) {
    const ToolResult result = profile({input, "--name", "team", "--output", file});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors, "Error: " + message + "\n");
    EXPECT_FALSE(exists(file));
  }
}

TEST_F(ProfileTest, InputsThatCannotBeReadOrParsed) {
  const std::string missing = tree.path("missing.json");
  const std::string folder = tree.mkdir("folder.json");
  const std::string huge = tree.write("huge.json", "");
  ASSERT_EQ(truncate(huge.c_str(), Constants::maxInputFileBytes + 1), 0);
  for (const std::string& path : {missing, folder}) {
    const ToolResult result = profile({path, "--name", "n"});
    EXPECT_EQ(result.status, 64);
    EXPECT_TRUE(result.errors.starts_with("Error: cannot read " + path + "\nUsage: "))
        << result.errors;
  }
  EXPECT_TRUE(profile({huge, "--name", "n"})
                  .errors.starts_with("Error: cannot read " + huge + ": larger than 64 MiB\n"));

  const std::string unwritable = tree.write("bell.json", R"({"Harnesses":{},"Bad":"bell\u0007"})");
  for (const auto& [input, start] : std::vector<std::pair<std::string, std::string>>{
           {tree.write("empty.json", ""), "Error: invalid JSON"},
           {tree.write("empty.plist", ""), "Error: "},
           {tree.write("binary.plist", std::string("bplist00\xFF\x00\x13", 11)), "Error: "},
           {tree.write("null.json", R"({"Harnesses":null})"),
            "Error: unsupported value type: null"},
           {unwritable, "Error: "}}) {
    SCOPED_TRACE(input);
    const ToolResult result = profile({input, "--name", "n"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "");
    EXPECT_TRUE(result.errors.starts_with(start)) << result.errors;
    EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 1) << result.errors;
  }

  const ToolResult settings = profile({tree.write("list.json", "[1,2]"), "--settings"});
  EXPECT_EQ(settings.status, 1);
  EXPECT_EQ(settings.errors, "Error: policy fragment: payload must be a dictionary\n");
}

TEST_F(ProfileTest, AnOutputFileThatCannotBeWrittenPrintsNothing) {
  const std::string inMissingFolder = tree.path("missing/out.mobileconfig");
  const std::string folder = tree.mkdir("folder.mobileconfig");
  // A FIFO nobody reads is refused at once rather than waited for.
  const std::string fifo = tree.path("fifo.mobileconfig");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const auto& [output, reason] : std::vector<std::pair<std::string, std::string>>{
           {inMissingFolder, "No such file or directory"},
           {folder, "Is a directory"},
           {fifo, "No such device or address"}}) {
    const ToolResult result = profile({team, "--name", "team", "--output", output});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors, "Error: cannot write " + output + ": " + reason + "\n");
  }
}

struct stat statusOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
  return info;
}

// The file-creation mask for the life of one test.
class Umask {
 public:
  explicit Umask(mode_t mask) : previous_(umask(mask)) {}
  ~Umask() { umask(previous_); }
  Umask(const Umask&) = delete;
  Umask& operator=(const Umask&) = delete;

 private:
  mode_t previous_;
};

// The profile is a new file, 0644 whatever the umask: a descriptor someone kept on the file that
// was there writes into the old file, not into the profile.
TEST_F(ProfileTest, TheOutputIsANewFileOfMode0644WhateverTheUmask) {
  const std::string expected = profile({team, "--name", "team-a"}).output;
  for (const mode_t mask : {mode_t(0), mode_t(077)}) {
    SCOPED_TRACE(mask);
    const std::string file = tree.write("kept.mobileconfig", "someone's bytes", 0666);
    ASSERT_EQ(chmod(file.c_str(), 0666), 0);
    const ino_t before = statusOf(file).st_ino;
    const int kept = open(file.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(kept, 0);
    {
      const Umask scope(mask);
      const ToolResult result = profile({team, "--name", "team-a", "--output", file});
      ASSERT_EQ(result.status, 0) << result.errors;
    }
    ASSERT_EQ(write(kept, "XX", 2), 2);
    close(kept);
    const struct stat after = statusOf(file);
    EXPECT_NE(after.st_ino, before);
    EXPECT_EQ(after.st_mode & 07777, 0644u);
    EXPECT_EQ(readFile(file), expected);
    EXPECT_EQ(temporaryFiles(tree.root()), std::vector<std::string>{});
  }
}

// A link or a second name at the path would send the profile into another file; both are
// refused and that file is left as it was. So is a folder that is a link.
TEST_F(ProfileTest, ALinkAtThePathOrAsItsFolderIsRefusedAndItsTargetLeftAlone) {
  const std::string victim = tree.write("victims/file", "victim\n", 0600);
  const std::string link = tree.path("link.mobileconfig");
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  const std::string hard = tree.path("hard.mobileconfig");
  ASSERT_EQ(::link(victim.c_str(), hard.c_str()), 0);
  const std::string folderLink = tree.path("folder-link");
  ASSERT_EQ(symlink(tree.path("victims").c_str(), folderLink.c_str()), 0);
  const std::string dangling = tree.path("dangling.mobileconfig");
  ASSERT_EQ(symlink(tree.path("victims/new").c_str(), dangling.c_str()), 0);
  for (const auto& [output, reason] : std::vector<std::pair<std::string, std::string>>{
           {link, "it is a symbolic link"},
           {dangling, "it is a symbolic link"},
           {hard, "it has 2 links"},
           {folderLink + "/file", "its folder " + folderLink + " is a symbolic link"},
           {folderLink + "/new", "its folder " + folderLink + " is a symbolic link"}}) {
    SCOPED_TRACE(output);
    const ToolResult result = profile({team, "--name", "team", "--output", output});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors, "Error: cannot write " + output + ": " + reason + "\n");
  }
  EXPECT_EQ(readFile(victim), "victim\n");
  EXPECT_EQ(statusOf(victim).st_mode & 07777, 0600u);
  EXPECT_EQ(statusOf(victim).st_nlink, 2u);
  EXPECT_TRUE(S_ISLNK(statusOf(link).st_mode));
  EXPECT_FALSE(exists(tree.path("victims/new")));
}

// Another user prepared the path in a folder of theirs: a link to a root file, or a file of
// their own that they could rewrite before the profile is uploaded. Root's profile goes into
// neither.
TEST_F(ProfileTest, WhatAnotherUserPreparedAtThePathNeverReceivesRootsProfile) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user against root";
  const std::string victim = tree.write("victim", "root's own\n", 0644);
  const std::string folder = tree.mkdir("theirs");
  ASSERT_EQ(chown(folder.c_str(), nobody, nobody), 0);
  const std::optional<std::string> prepared = runAsNobodyIn(folder, [&] {
    if (symlink(victim.c_str(), "team.mobileconfig") != 0) return 10;
    const int file = open("own.mobileconfig", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (file < 0 || write(file, "theirs", 6) != 6) return 11;
    return close(file) == 0 ? 0 : 12;
  });
  ASSERT_EQ(prepared, std::nullopt) << *prepared;
  const std::string own = folder + "/own.mobileconfig";
  ASSERT_EQ(statusOf(own).st_uid, nobody);
  ASSERT_EQ(statusOf(own).st_mode & 07777, 0666u);

  const ToolResult linked =
      profile({team, "--name", "team", "--output", folder + "/team.mobileconfig"});
  EXPECT_EQ(linked.status, 1);
  EXPECT_EQ(linked.errors,
            "Error: cannot write " + folder + "/team.mobileconfig: it is a symbolic link\n");
  EXPECT_EQ(readFile(victim), "root's own\n");

  const ToolResult replaced = profile({team, "--name", "team", "--output", own});
  ASSERT_EQ(replaced.status, 0) << replaced.errors;
  const struct stat after = statusOf(own);
  EXPECT_EQ(after.st_uid, 0u);
  EXPECT_EQ(after.st_mode & 07777, 0644u);
  EXPECT_EQ(readFile(own), profile({team, "--name", "team"}).output);
}

// A link further up the path is followed only where no other user could have put it. In a
// folder of another user's, a link on the way would let that user choose the folder root's
// profile lands in (here a root folder with a "cron.d" in it); a link in root's own folder is
// followed as before.
TEST_F(ProfileTest, ALinkOnTheWayInAnotherUsersFolderIsNotFollowed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user against root";
  const std::string victims = tree.mkdir("victims/cron.d");
  const std::string folder = tree.mkdir("theirs");
  ASSERT_EQ(chown(folder.c_str(), nobody, nobody), 0);
  const std::string target = tree.path("victims");
  const std::optional<std::string> prepared =
      runAsNobodyIn(folder, [&] { return symlink(target.c_str(), "way") == 0 ? 0 : 10; });
  ASSERT_EQ(prepared, std::nullopt) << *prepared;
  const std::string own = tree.path("own-way");
  ASSERT_EQ(symlink(target.c_str(), own.c_str()), 0);

  const std::string steered = folder + "/way/cron.d/team.mobileconfig";
  const ToolResult refused = profile({team, "--name", "team", "--output", steered});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.errors, "Error: cannot write " + steered + ": the symbolic link " + folder +
                                "/way on its way lies in a folder other users can write\n");
  EXPECT_TRUE(std::filesystem::is_empty(victims));

  const std::string followed = own + "/cron.d/team.mobileconfig";
  const ToolResult written = profile({team, "--name", "team", "--output", followed});
  ASSERT_EQ(written.status, 0) << written.errors;
  EXPECT_EQ(readFile(victims + "/team.mobileconfig"), profile({team, "--name", "team"}).output);
}

// A relative output is taken from where the tool was started, a bare name and a path below
// it alike, and lands nowhere else.
TEST_F(ProfileTest, ARelativeOutputLandsBelowTheWorkingDirectory) {
  tree.mkdir("here/sub");
  const std::string name = "tavra-relative-" + std::to_string(::getpid()) + ".mobileconfig";
  for (const std::string& output : {name, "sub/" + name, "./sub/../" + name}) {
    SCOPED_TRACE(output);
    const ProcessResult run =
        runTavractlIn(tree.path("here"), {"profile", team, "--name", "team", "--output", output});
    ASSERT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(readFile(tree.path("here/" + output)), profile({team, "--name", "team"}).output);
    EXPECT_FALSE(std::filesystem::exists("/" + name));
  }
}

TEST_F(ProfileTest, AnOutputPipeGetsTheWholeProfileHoweverSlowlyItIsRead) {
  // Larger than a pipe holds, so the writer must wait for its reader.
  const std::string large =
      tree.write("large.json", R"({"Harnesses":{"alpha":{"settings":{"model":")" +
                                   std::string(1 << 20, 'm') + R"("}}}})");
  const std::string expected = profile({large, "--name", "large"}).output;
  ASSERT_GT(expected.size(), 1u << 20);
  const std::string fifo = tree.path("large.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // The reader is there before the tool opens the FIFO; a second writer held here keeps the
  // reads below from ending before the tool has written, and is let go once the tool is done.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_EQ(fcntl(reader, F_SETFL, fcntl(reader, F_GETFL) & ~O_NONBLOCK), 0);
  const int holder = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ToolResult result;
  std::thread tool([&] {
    result = profile({large, "--name", "large", "--output", fifo});
    close(holder);
  });
  std::string received;
  char buffer[4096];
  for (ssize_t count; (count = read(reader, buffer, sizeof buffer)) > 0;) {
    received.append(buffer, static_cast<std::size_t>(count));
  }
  tool.join();
  close(reader);
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(result.output, "wrote " + fifo + " (domain com.zelkorandin.tavra.policy.large)\n");
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
}

}  // namespace
}  // namespace tavra::test
