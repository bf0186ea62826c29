// The composition root: the production collaborators the daemon gets, each wired to the right
// thing.
#include "tavrad/system_daemon.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "support/catalog_fixtures.h"
#include "support/forked_child.h"
#include "support/scratch_environment.h"
#include "support/temp_tree.h"
#include "tavra/constants.h"

namespace tavra {
namespace {

using namespace std::chrono_literals;

class SystemCollaboratorsTest : public ::testing::Test {
 protected:
  std::unique_ptr<EventLoop> loop = makeSystemEventLoop();
  BackgroundThread background;
  std::shared_ptr<MemoryLogger> reconcileLog =
      std::make_shared<MemoryLogger>("com.zelkorandin.tavra", "reconcile");
  Services core = coreServices();
  Daemon::Collaborators collaborators = daemonCollaborators(*loop, background, core);

  Services coreServices() const {
    Services s = systemServices();
    s.reconcileLog = reconcileLog;
    return s;
  }
  test::TempTree tree;

  Environment scratchEnvironment() const {
    return test::scratchEnvironment({
        .folder = tree.root(),
        .trustedKey = key.publicBase64(),
        .builtInPathPrefixes = {tree.path("out") + "/"},
        .services = core,
    });
  }
  test::CatalogSigningKey key;
};

TEST_F(SystemCollaboratorsTest, SettingsAndEnvironmentAreTheProductionOnes) {
  // Nothing is installed under /Library on this machine: the settings are the defaults.
  EXPECT_EQ(collaborators.readSettings(), TavraSettings{});
  const Environment environment = collaborators.environment(TavraSettings{});
  EXPECT_EQ(environment.preferences.directory(), Constants::managedPreferencesDirectory);
  EXPECT_TRUE(environment.preferences.requireRootOwned());
  EXPECT_EQ(environment.catalogStore.directory(), Constants::catalogDirectory);
  EXPECT_EQ(environment.supportDirectory, Constants::supportDirectory);
  EXPECT_TRUE(environment.setRootOwnership);
  EXPECT_TRUE(environment.discovery.has_value());
  EXPECT_TRUE(static_cast<bool>(environment.flushPreferencesCache));
}

TEST_F(SystemCollaboratorsTest, CatalogCollaboratorsUseTheEnvironmentsStore) {
  const Environment environment = scratchEnvironment();
  EXPECT_FALSE(collaborators.verifiedCatalogInstalled(environment));
  const std::string catalog = test::catalogJSON("2.0");
  tree.write("source/catalog.json", catalog);
  tree.write("source/catalog.json.sig", key.signatureFile(catalog));
  const URL from = *URL::parse("file://" + tree.path("source/catalog.json"));
  EXPECT_EQ(collaborators.updateCatalog(environment.catalogStore, from, std::nullopt),
            CatalogStore::UpdateResult::updated("2.0"));
  EXPECT_TRUE(collaborators.verifiedCatalogInstalled(environment));
  EXPECT_EQ(collaborators.updateCatalog(environment.catalogStore, from, std::nullopt),
            CatalogStore::UpdateResult::unchanged("2.0"));
}

TEST_F(SystemCollaboratorsTest, APassRunsOverTheEnvironmentAndLogsToTheReconcileLogger) {
  const StatusReport report = collaborators.reconcile(scratchEnvironment(), TavraSettings{}).report;
  EXPECT_EQ(report.summary(), "error; catalog none; managed: none");
  EXPECT_TRUE(test::exists(tree.path("support/status.json")));
  const auto texts = reconcileLog->texts();
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), "run finished: error; catalog none; managed: none");
}

TEST_F(SystemCollaboratorsTest, WatchesOpenACanonicalPathAtItsPlaceOnThisMachine) {
  // /tmp is where /private/tmp lives here; the watch must land on the real folder.
  char pattern[] = "/tmp/tavra-watch.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string host = pattern;
  const std::string canonical = "/private" + host;
  bool fired = false;
  std::error_code error;
  EventLoop::Handle watch = collaborators.openWatch(
      canonical,
      [&] {
        fired = true;
        loop->stop();
      },
      error);
  EXPECT_TRUE(watch) << error.message();
  auto change = loop->schedule(1ms, [&] { std::ofstream(host + "/config.toml") << "x"; });
  auto guard = loop->schedule(20s, [&] { loop->stop(); });
  loop->run();
  EXPECT_TRUE(fired);
  std::filesystem::remove_all(host);
}

TEST_F(SystemCollaboratorsTest, ClockAndUserAreThisProcesss) {
  const auto before = std::chrono::system_clock::now();
  const Date now = collaborators.now();
  EXPECT_GE(now, before);
  EXPECT_LE(now, std::chrono::system_clock::now());
  EXPECT_EQ(collaborators.realUserID(), getuid());
}

TEST_F(SystemCollaboratorsTest, ExitEndsTheProcessAtOnceWithTheStatus) {
  test::ForkedChild child([this](int) {
    collaborators.exit(3);
    return 99;
  });
  const int status = child.wait(30s);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
}

TEST(BackgroundThreadTest, RunsWorkOnAThreadOfItsOwnOneAfterTheOther) {
  std::vector<std::thread::id> ran;
  {
    BackgroundThread background;
    background.run([&] { ran.push_back(std::this_thread::get_id()); });
    background.run([&] { ran.push_back(std::this_thread::get_id()); });
  }
  ASSERT_EQ(ran.size(), 2u);
  EXPECT_NE(ran[0], std::this_thread::get_id());
  EXPECT_NE(ran[1], std::this_thread::get_id());
}

}  // namespace
}  // namespace tavra
