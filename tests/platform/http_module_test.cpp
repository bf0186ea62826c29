// ModuleClient: where it looks for the HTTP module, when it loads it, and the clear errors when
// the module cannot serve. No test here needs a server: a request to port 1 of 127.0.0.1 fails in
// libcurl itself, which is all it takes to tell a loaded module from one that is not.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "http_module.h"
#include "support/forked_child.h"
#include "support/https_server.h"
#include "support/temp_tree.h"
#include "tavra/platform/http.h"

namespace tavra::http {
namespace {

Request unreachable() {
  Request request;
  request.url = "https://127.0.0.1:1/catalog.json";
  request.timeout = std::chrono::seconds(20);
  return request;
}

// The error text of a request through a client of the module at `path`.
std::string failureWith(const std::string& path) {
  return test::transportErrorText([&] { ModuleClient({.modulePath = path}).get(unreachable()); });
}

bool mapped(const std::string& what) {
  std::ifstream maps("/proc/self/maps");
  std::stringstream text;
  text << maps.rdbuf();
  return text.str().find(what) != std::string::npos;
}

TEST(ModuleClientTest, LooksBesideTheProgramThenInTheSiblingLibFolder) {
  EXPECT_EQ(ModuleClient::modulePlaces("/opt/tavra/bin/tavrad"),
            (std::vector<std::string>{"/opt/tavra/bin/tavra-http.so",
                                      "/opt/tavra/lib/tavra/tavra-http.so"}));
  EXPECT_EQ(ModuleClient::modulePlaces("/tavrad"),
            (std::vector<std::string>{"/tavra-http.so", "/lib/tavra/tavra-http.so"}));
}

// A fresh process maps neither the module nor libcurl until its first request, and then both.
TEST(ModuleClientTest, LoadsTheModuleAndLibcurlOnTheFirstRequestOnly) {
  if (mapped("tavra-http.so")) GTEST_SKIP() << "an earlier test of this process loaded the module";
  test::ForkedChild child([](int) {
    if (mapped("libcurl") || mapped("tavra-http.so")) return 1;
    const ModuleClient client({.modulePath = test::httpModulePath});
    if (mapped("libcurl") || mapped("tavra-http.so")) return 2;
    try {
      client.get(unreachable());
      return 3;
    } catch (const TransportError&) {
    }
    return mapped("libcurl") && mapped("tavra-http.so") ? 0 : 4;
  });
  const int status = child.wait();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ModuleClientTest, TheFirstRequestsOfSeveralThreadsShareOneLoad) {
  const ModuleClient client({.modulePath = test::httpModulePath});
  std::vector<std::string> errors(8);
  {
    std::vector<std::jthread> threads;
    for (std::string& error : errors) {
      threads.emplace_back([&client, &error] {
        error = test::transportErrorText([&] { client.get(unreachable()); });
      });
    }
  }
  for (const std::string& error : errors) {
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find("HTTP module"), std::string::npos) << error;
  }
}

TEST(ModuleClientTest, AMissingModuleIsAClearTransportError) {
  const test::TempTree tree;
  const std::string path = tree.path("lib/tavra-http.so");
  EXPECT_EQ(failureWith(path), "the HTTP module tavra-http.so is missing: looked for " + path);
}

TEST(ModuleClientTest, AFileThatIsNoModuleOfThisBuildIsRefused) {
  const test::TempTree tree;
  const std::string text = tree.write("text.so", "no shared library\n");
  const std::string folder = tree.mkdir("folder.so");
  struct Case {
    std::string path;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {text, "cannot load the HTTP module " + text + ": " + text},
           {folder, "cannot load the HTTP module " + folder + ": not a file"},
           {TAVRA_TEST_PLAIN_MODULE, "cannot load the HTTP module " +
                                         std::string(TAVRA_TEST_PLAIN_MODULE) +
                                         ": it has no tavra_http_module"},
           {TAVRA_TEST_STALE_HTTP_MODULE,
            "cannot load the HTTP module " + std::string(TAVRA_TEST_STALE_HTTP_MODULE) +
                ": it is \"tavra-http 0 (Tavra 0.0.0)\", this program needs \"" + moduleIdentity +
                "\""},
       }) {
    const std::string message = failureWith(c.path);
    EXPECT_TRUE(message.starts_with(c.message)) << message;
  }
}

// Code loaded into a root daemon must be no easier to change than the daemon itself.
TEST(ModuleClientTest, AModuleOthersMayChangeIsNotLoaded) {
  const test::TempTree tree;
  const std::string copy = tree.path("tavra-http.so");
  std::filesystem::copy_file(test::httpModulePath, copy);
  const std::vector<mode_t> refused =
      geteuid() == 0 ? std::vector<mode_t>{0646, 0664, 0777} : std::vector<mode_t>{0646, 0777};
  for (const mode_t mode : refused) {
    ASSERT_EQ(chmod(copy.c_str(), mode), 0);
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
    EXPECT_EQ(failureWith(copy), "not loading the HTTP module " + copy +
                                     ": other users may change it (owner " +
                                     std::to_string(geteuid()) + ", mode " + octal + ")");
  }
  ASSERT_EQ(chmod(copy.c_str(), 0755), 0);
  EXPECT_EQ(failureWith(copy).find("HTTP module"), std::string::npos);
}

// A failed load is not remembered: once the module is in place, the same client uses it.
TEST(ModuleClientTest, AFailedLoadIsTriedAgainOnTheNextRequest) {
  const test::TempTree tree;
  const std::string path = tree.path("tavra-http.so");
  const ModuleClient client({.modulePath = path});
  EXPECT_EQ(test::transportErrorText([&] { client.get(unreachable()); }),
            "the HTTP module tavra-http.so is missing: looked for " + path);
  std::filesystem::copy_file(test::httpModulePath, path);
  const std::string error = test::transportErrorText([&] { client.get(unreachable()); });
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(error.find("HTTP module"), std::string::npos) << error;
}

}  // namespace
}  // namespace tavra::http
