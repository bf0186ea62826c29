// `simulate` run by root never leaves its folder, whatever another local user (uid 65534) planted
// there beforehand or swaps while it runs: a folder that user could have prepared is refused, a
// state file is data, every step walks from the opened folder without following a link, files
// are replaced rather than written through, and what it makes is closed to others.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>

#include "fake_context.h"
#include "support/forked_child.h"
#include "support/temp_tree.h"
#include "tavra/file_applier.h"
#include "tavra/status_report.h"

namespace tavra::test {
namespace {

namespace stdfs = std::filesystem;

const std::string fixtures = std::string(TAVRA_TEST_DIR) + "/tavractl/fixtures/simulate/";
const std::string supportBelow = "/Library/Application Support/Tavra";
const std::string preferencesBelow = "/Library/Managed Preferences";
constexpr uid_t nobody = 65534;

// Every entry below `root` with its type, mode, owner, content and (with `links`) its number of
// names.
std::map<std::string, std::string> snapshot(const std::string& root, bool links = true) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : stdfs::recursive_directory_iterator(root)) {
    struct stat info {};
    ::lstat(entry.path().c_str(), &info);
    std::string description = std::to_string(info.st_mode) + " " + std::to_string(info.st_uid);
    if (links) description += " " + std::to_string(info.st_nlink);
    if (S_ISREG(info.st_mode)) description += " " + readFile(entry.path());
    entries[entry.path().string()] = description;
  }
  return entries;
}

mode_t modeOf(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : mode_t(-1);
}

// Takes the identity of uid and gid 65534 (in a child).
bool becomeNobody() {
  return ::setgroups(0, nullptr) == 0 && ::setgid(nobody) == 0 && ::setuid(nobody) == 0 &&
         ::getuid() == nobody;
}

// Runs `body` as uid 65534 in a child and waits for it.
void asNobody(const std::function<void()>& body) {
  ForkedChild child([&](int) {
    if (!becomeNobody()) return 2;
    body();
    return 0;
  });
  ASSERT_EQ(child.wait(std::chrono::seconds(30)), 0) << "the child as uid 65534 failed";
}

void writeFileAt(const std::string& path, const std::string& bytes, mode_t mode = 0644) {
  stdfs::create_directories(stdfs::path(path).parent_path());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size())) {
    throw std::runtime_error("cannot write " + path);
  }
  ::fchmod(fd, mode);
  ::close(fd);
}

// A folder below /tmp that uid 65534 can reach (the test's own tree may sit below a folder only
// root can enter), removed at the end.
class Scratch {
 public:
  Scratch() {
    char pattern[] = "/tmp/tavra-simulate.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot make a scratch folder");
    root_ = pattern;
    ::chmod(root_.c_str(), 0755);
  }
  ~Scratch() {
    std::error_code ignored;
    stdfs::remove_all(root_, ignored);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  std::string path(const std::string& relative) const { return root_ + "/" + relative; }

 private:
  std::string root_;
};

class SimulateContainmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: simulate runs as root against uid 65534";
    stdfs::copy(fixtures + "fragments", tree.path("fragments"));
    tree.write("catalog.json", readFile(fixtures + "catalog.json"));
    // What the other user aims at: root's own files and folders.
    tree.write("victim/victim-file", "victim bytes", 0644);
    tree.write("victim/secret", "root only", 0600);
    tree.mkdir("victim/cron.d");
    tree.mkdir("victim/empty");
  }

  ToolResult simulate(const std::string& out) {
    return fake.run(
        {"simulate", tree.path("fragments"), "--catalog", tree.path("catalog.json"), "--out", out});
  }
  std::string victim(const std::string& name) const { return tree.path("victim/" + name); }

  TempTree tree;
  Scratch scratch;
  FakeContext fake;
};

// A state for `out` with every entry that once made root restore, delete, copy and re-assert
// files of the planter's choice, and a list of created folders naming an empty root folder.
std::string plantedState(const std::string& out, const std::string& userFile,
                         const std::string& victimFolder) {
  const Date when = Date(std::chrono::seconds(1'750'000'000));
  const auto entry = [&](std::string applied, std::optional<std::string> backup) {
    return FileApplier::StateEntry{"codex",
                                   "requirements",
                                   std::string(64, '0'),
                                   std::move(backup),
                                   std::move(applied),
                                   when,
                                   when,
                                   0,
                                   std::uint16_t(0666)};
  };
  const std::string support = out + supportBelow;
  FileApplier::State state;
  // A backup of the user's restored into a root folder; the applied copy a root file to delete.
  state.entries[victimFolder + "/cron.d/x"] = entry(victimFolder + "/victim-file", userFile);
  // The release of any regular file (no backup): outside the allow-list.
  state.entries[victimFolder + "/victim-file"] =
      entry(support + "/applied/" + FileApplier::sha256(victimFolder + "/victim-file"), {});
  // A root-only file named as the backup of a file the user can read.
  const std::string leak = PathPolicy::canonical(out) + "/etc/leak";
  state.entries[leak] =
      entry(support + "/applied/" + FileApplier::sha256(leak), victimFolder + "/secret");
  // A root-only file named as the applied copy, re-asserted in an incomplete pass.
  state.entries[PathPolicy::canonical(out) + "/etc/codex/managed_config.toml"] =
      entry(victimFolder + "/secret", {});
  state.createdDirectories = std::vector<std::string>{victimFolder + "/empty"};
  return FileApplier::encoder(state.encode());
}

// Scenario: the other user prepared the output folder, or a folder below it, and planted a state
// there. Root's simulate refuses the folder before writing anything, naming what it refused.
TEST_F(SimulateContainmentTest, AFolderAnotherUserCouldPrepareIsRefused) {
  struct Case {
    std::string name;
    std::string out;
    std::function<void(const std::string& out)> prepare;
    std::string refused;  // the folder named
    std::string why;
  };
  ::mkdir(scratch.path("home").c_str(), 0755);
  ::chown(scratch.path("home").c_str(), nobody, nobody);
  const std::string userFile = scratch.path("home/user-file");
  asNobody([&] { writeFileAt(userFile, "user bytes"); });
  const auto plant = [&](const std::string& out) {
    writeFileAt(out + supportBelow + "/state.json",
                plantedState(out, userFile, tree.path("victim")));
    writeFileAt(out + preferencesBelow + "/com.zelkorandin.tavra.policy.broken.plist", "garbage");
  };
  const std::vector<Case> cases = {
      {"TheUsersParent", scratch.path("u/sim"),
       [&](const std::string& out) {
         ::mkdir(scratch.path("u").c_str(), 0755);
         ::chown(scratch.path("u").c_str(), nobody, nobody);
         asNobody([&] { plant(out); });
       },
       scratch.path("u"), "belongs to uid 65534, neither root nor the user running simulate"},
      {"TheUsersSupportFolder", scratch.path("root-owned"),
       [&](const std::string& out) {
         stdfs::create_directories(out + "/Library/Application Support");
         ::mkdir((out + supportBelow).c_str(), 0755);
         ::chown((out + supportBelow).c_str(), nobody, nobody);
         asNobody([&] {
           writeFileAt(out + supportBelow + "/state.json",
                       plantedState(out, userFile, tree.path("victim")));
         });
       },
       scratch.path("root-owned") + supportBelow,
       "belongs to uid 65534, neither root nor the user running simulate"},
      {"PreferencesOpenToAll", scratch.path("open-prefs"),
       [&](const std::string& out) {
         stdfs::create_directories(out + preferencesBelow);
         ::chmod((out + preferencesBelow).c_str(), 0777);
         asNobody([&] {
           writeFileAt(out + preferencesBelow + "/com.zelkorandin.tavra.policy.x.plist", "garbage");
         });
       },
       scratch.path("open-prefs") + preferencesBelow, "can be written by other users"},
      {"StickyOutputFolder", scratch.path("sticky"),
       [&](const std::string& out) {
         ::mkdir(out.c_str(), 01777);
         ::chmod(out.c_str(), 01777);
         asNobody([&] { plant(out); });
       },
       scratch.path("sticky"), "can be written by other users"},
      {"TheUsersOutputFolderAsALink", scratch.path("u2/sim"),
       [&](const std::string&) {
         ::mkdir(scratch.path("u2").c_str(), 0755);
         ::chown(scratch.path("u2").c_str(), nobody, nobody);
         asNobody([&] { ::symlink(victim("").c_str(), scratch.path("u2/sim").c_str()); });
       },
       scratch.path("u2"), "belongs to uid 65534, neither root nor the user running simulate"},
  };
  const auto before = snapshot(tree.path("victim"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.prepare(c.out);
    const ToolResult result = simulate(c.out);
    EXPECT_EQ(result.status, 64);
    EXPECT_TRUE(
        result.errors.starts_with("Error: --out " + c.out + ": " + c.refused + " " + c.why + "\n"))
        << result.errors;
    EXPECT_EQ(snapshot(tree.path("victim")), before);
    EXPECT_EQ(readFile(userFile), "user bytes");
    EXPECT_FALSE(stdfs::exists(c.out + supportBelow + "/status.json"));
  }
}

// Scenario: a state with every hostile entry lies in a folder that passes (it may have come from
// anywhere). The pass reports the entries it refuses and changes nothing outside the folder, in a
// complete pass (releases) and in an incomplete one (re-assertions).
TEST_F(SimulateContainmentTest, APlantedStateSteersNothing) {
  const std::string userFile = tree.write("user-file", "user bytes");
  for (const bool incomplete : {false, true}) {
    SCOPED_TRACE(incomplete ? "incomplete pass" : "complete pass");
    const std::string out = tree.path(incomplete ? "incomplete" : "complete");
    tree.write((incomplete ? "incomplete" : "complete") + supportBelow + "/state.json",
               plantedState(out, userFile, tree.path("victim")), 0600);
    if (incomplete) {
      tree.write("incomplete" + preferencesBelow + "/com.zelkorandin.tavra.policy.broken.plist",
                 "garbage");
    }
    const auto before = snapshot(tree.path("victim"));

    const ToolResult result = simulate(out);
    ASSERT_EQ(result.status, 0) << result.errors;
    EXPECT_EQ(snapshot(tree.path("victim")), before);
    EXPECT_EQ(readFile(userFile), "user bytes");
    EXPECT_FALSE(stdfs::exists(out + "/etc/leak"));
    EXPECT_FALSE(stdfs::exists(out + "/etc/codex/managed_config.toml"));
    // Each entry that names another file than its own is reported under its key, as on a Mac.
    const StatusReport report = StatusReport::decode(readFile(out + supportBelow + "/status.json"));
    const auto reported = [&](const std::string& start) {
      return std::count_if(report.errors.begin(), report.errors.end(),
                           [&](const std::string& error) { return error.starts_with(start); });
    };
    EXPECT_EQ(reported(victim("cron.d/x") + ": io: state entry refused: "), 1);
    EXPECT_EQ(reported("/etc/leak: io: state entry refused: its backup is recorded as " +
                       victim("secret")),
              1);
    EXPECT_EQ(reported("/etc/codex/managed_config.toml: io: state entry refused: "), 1);
    // The applier's own record of a file outside the folder is not released there.
    EXPECT_EQ(reported(victim("victim-file") + ": path not allowed: "), incomplete ? 0 : 1);
    EXPECT_NE(result.output.find("\u2717 /etc/leak: io: state entry refused"), std::string::npos)
        << result.output;
  }
}

// Scenario: while root runs simulate again and again, the user keeps swapping one folder below
// the output folder with a link to a root folder. Here the folders are that user's and the user
// runs the command (as a set-uid program would), so the folder check lets the runs through: only
// the confinement of every step to the opened folder stands between the swaps and root's writes.
TEST_F(SimulateContainmentTest, ASwapDuringTheRunChangesNothingOutside) {
  fake.uid = nobody;
  for (const std::string& swapped : std::vector<std::string>{
           supportBelow, preferencesBelow, supportBelow + "/catalog", "/Library"}) {
    SCOPED_TRACE(swapped);
    const std::string out = scratch.path("race" + std::to_string(swapped.size()));
    for (const std::string& below :
         std::vector<std::string>{"", "/Library", preferencesBelow, "/Library/Application Support",
                                  supportBelow, supportBelow + "/catalog"}) {
      stdfs::create_directories(out + below);
      ::chown((out + below).c_str(), nobody, nobody);
    }
    const std::string target = out + swapped;
    const std::string link = target + ".link";
    const auto before = snapshot(tree.path("victim"));

    int stopPipe[2];
    ASSERT_EQ(::pipe(stopPipe), 0);
    ForkedChild swapper([&](int report) {
      ::close(stopPipe[1]);
      if (!becomeNobody() || ::symlink(tree.path("victim").c_str(), link.c_str()) != 0) return 2;
      writeReport(report, "R");
      long swaps = 0;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (std::chrono::steady_clock::now() < deadline) {
        pollfd entry{stopPipe[0], POLLIN, 0};
        if (::poll(&entry, 1, 0) != 0) break;
        if (::renameat2(AT_FDCWD, target.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE) == 0) {
          ++swaps;
        }
        for (int i = 0; i < 8; ++i) sched_yield();
      }
      // The folder back in its place for the next round.
      struct stat info {};
      if (::lstat(target.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        ::renameat2(AT_FDCWD, target.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
      }
      writeReport(report, std::to_string(swaps));
      return 0;
    });
    ::close(stopPipe[0]);
    ASSERT_EQ(swapper.read(1, std::chrono::seconds(30)), "R");

    // Runs that got past the folder check: the swap was not in place while it looked.
    int runs = 0, checked = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < until || runs < 10) {
      ++runs;
      if (simulate(out).status != 64) ++checked;
    }
    ::close(stopPipe[1]);
    const std::optional<std::string> swaps = swapper.readToEnd(std::chrono::seconds(30));
    EXPECT_EQ(swapper.wait(std::chrono::seconds(30)), 0);
    ASSERT_TRUE(swaps);
    EXPECT_GT(std::stol(*swaps), 0);

    EXPECT_EQ(snapshot(tree.path("victim")), before)
        << runs << " runs, " << checked << " past the folder check, " << *swaps << " swaps";
    EXPECT_GT(checked, 0) << "no run met the folder in place";
  }
}

// Scenario: the output folder, or a folder above it, is a link to a root folder.
TEST_F(SimulateContainmentTest, TheOutputFolderAndItsParentsAreNoLinks) {
  tree.mkdir("real");
  stdfs::create_directory_symlink(victim(""), tree.path("out-link"));
  stdfs::create_directory_symlink(tree.path("real"), tree.path("parent-link"));
  const auto before = snapshot(tree.path("victim"));
  for (const auto& [out, link] : std::vector<std::pair<std::string, std::string>>{
           {tree.path("out-link"), tree.path("out-link")},
           {tree.path("out-link/sub"), tree.path("out-link")},
           {tree.path("parent-link/sim"), tree.path("parent-link")}}) {
    SCOPED_TRACE(out);
    const ToolResult result = simulate(out);
    EXPECT_EQ(result.status, 64);
    EXPECT_TRUE(result.errors.starts_with(
        "Error: --out " + out + ": " + link +
        " is a symbolic link; simulate writes nothing through a symbolic link\n"))
        << result.errors;
  }
  EXPECT_EQ(snapshot(tree.path("victim")), before);
  EXPECT_TRUE(stdfs::is_empty(tree.path("real")));
}

// Scenario: a hard link to a root file stands where a fragment's plist or the status report
// goes. Each is replaced by a new file; the linked file keeps its bytes.
TEST_F(SimulateContainmentTest, AHardLinkAtAPlistOrTheStatusIsReplacedNotWrittenThrough) {
  const std::string out = tree.path("sim");
  const std::string plist = out + preferencesBelow + "/com.zelkorandin.tavra.policy.baseline.plist";
  const std::string status = out + supportBelow + "/status.json";
  stdfs::create_directories(out + preferencesBelow);
  stdfs::create_directories(out + supportBelow);
  stdfs::create_hard_link(victim("victim-file"), plist);
  stdfs::create_hard_link(victim("secret"), status);
  const auto before = snapshot(tree.path("victim"), /*links=*/false);

  const ToolResult result = simulate(out);
  ASSERT_EQ(result.status, 0) << result.errors;
  // The linked files lost their second name and nothing else.
  EXPECT_EQ(snapshot(tree.path("victim"), /*links=*/false), before);
  EXPECT_EQ(stdfs::hard_link_count(victim("victim-file")), 1u);
  EXPECT_EQ(stdfs::hard_link_count(victim("secret")), 1u);
  EXPECT_EQ(stdfs::hard_link_count(plist), 1u);
  EXPECT_EQ(stdfs::hard_link_count(status), 1u);
  EXPECT_EQ(Value::parsePlist(readFile(plist))[KeyPath("PolicyID")], Value("baseline"));
  EXPECT_EQ(StatusReport::decode(readFile(status)).health, StatusReport::Health::ok);
}

// Scenario: under umask 000 nothing simulate makes is open to other users.
TEST_F(SimulateContainmentTest, UnderAnOpenUmaskEverythingItMakesIsClosedToOthers) {
  const std::string out = tree.path("sim");
  const mode_t old = ::umask(0);
  const ToolResult result = simulate(out);
  ::umask(old);
  ASSERT_EQ(result.status, 0) << result.errors;
  const std::string support = out + supportBelow;
  for (const auto& [path, mode] : std::vector<std::pair<std::string, mode_t>>{
           {out, 0755},
           {out + "/Library", 0755},
           {out + preferencesBelow, 0755},
           {out + preferencesBelow + "/com.zelkorandin.tavra.policy.baseline.plist", 0644},
           {out + "/Library/Application Support", 0755},
           {support, 0755},
           {support + "/catalog", 0755},
           {support + "/catalog/catalog.json", 0644},
           {support + "/catalog/catalog.json.sig", 0644},
           {support + "/status.json", 0644},
           {support + "/state.json", 0600},
           {support + "/applied", 0700},
           {out + "/etc", 0755},
           {out + "/etc/codex", 0755},
           {out + "/etc/codex/requirements.toml", 0644}}) {
    EXPECT_EQ(modeOf(path), mode) << path;
  }
}

}  // namespace
}  // namespace tavra::test
