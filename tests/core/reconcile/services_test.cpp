#include "tavra/services.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/https_server.h"
#include "tavra/environment.h"
#include "tavra/reconciler.h"

namespace tavra {
namespace {

TEST(ServicesTest, TheSystemSetIsThisMachines) {
  const Services services = systemServices();
  EXPECT_TRUE(std::dynamic_pointer_cast<const PosixFileSystem>(services.fileSystem));
  EXPECT_TRUE(std::dynamic_pointer_cast<const SystemClock>(services.clock));
  EXPECT_TRUE(std::dynamic_pointer_cast<const http::ModuleClient>(services.http));
  EXPECT_TRUE(std::dynamic_pointer_cast<const platform::SystemProcessTable>(services.processes));
  EXPECT_TRUE(std::dynamic_pointer_cast<const keychain::NoKeychain>(services.keychain));
  EXPECT_TRUE(std::dynamic_pointer_cast<const platform::SystemProgramLauncher>(services.programs));
  ASSERT_TRUE(services.reconcileLog && services.daemonLog);
  EXPECT_EQ(services.reconcileLog->subsystem(), "com.zelkorandin.tavra");
  EXPECT_EQ(services.reconcileLog->category(), "reconcile");
  EXPECT_EQ(services.daemonLog->subsystem(), "com.zelkorandin.tavra");
  EXPECT_EQ(services.daemonLog->category(), "daemon");
}

TEST(ServicesTest, TheSystemEnvironmentPassesOnTheServicesItIsGiven) {
  const Services services = systemServices();
  const Environment environment = Environment::system(TavraSettings(), services);
  EXPECT_EQ(environment.services.fileSystem, services.fileSystem);
  EXPECT_EQ(environment.services.clock, services.clock);
  EXPECT_EQ(environment.services.reconcileLog, services.reconcileLog);
  EXPECT_EQ(environment.preferences,
            ManagedPreferences("/Library/Managed Preferences", true, services.fileSystem));
}

// Nothing makes a service of its own when it is given none: a missing one is refused at once.
TEST(ServicesTest, AMissingServiceIsRefusedWhenTheObjectIsMade) {
  const Services services = systemServices();
  EXPECT_THROW(ManagedPreferences("/p", false, nullptr), std::invalid_argument);
  EXPECT_THROW(CatalogStore("/c", {}, nullptr), std::invalid_argument);
  EXPECT_THROW(SystemKeyProvider("/k", true, nullptr, services.keychain), std::invalid_argument);
  EXPECT_THROW(Discovery(services.fileSystem, nullptr, std::vector<Discovery::LocalUser>{}),
               std::invalid_argument);
  EXPECT_THROW(FileApplier("/s", PathPolicy({}, {}), false, services.fileSystem, nullptr),
               std::invalid_argument);
  Environment environment = Environment::system(TavraSettings(), services);
  environment.services.reconcileLog = nullptr;
  EXPECT_THROW(Reconciler(environment, TavraSettings()), std::invalid_argument);
}

// The system client looks for the HTTP module beside the running program (here a test program,
// beside which there is none) and says where it looked.
TEST(ServicesTest, TheSystemHTTPClientLooksForItsModuleBesideTheProgram) {
  const Services services = systemServices();
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string folder = self.substr(0, self.rfind('/'));
  const std::string parent = folder.substr(0, folder.rfind('/'));
  http::Request request;
  request.url = "https://127.0.0.1:1/catalog.json";
  EXPECT_EQ(test::transportErrorText([&] { services.http->get(request); }),
            "the HTTP module tavra-http.so is missing: looked for " + folder +
                "/tavra-http.so and " + parent + "/lib/tavra/tavra-http.so");
}

}  // namespace
}  // namespace tavra
