#include <gtest/gtest.h>

#include <thread>

#include "support/https_server.h"
#include "support/temp_tree.h"
#include "tavra/platform/http.h"

namespace tavra::http {
namespace {

class CurlClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!test::HTTPSServer::available()) return;
    tree = new test::TempTree();
    server = new test::HTTPSServer(*tree, tree->mkdir("files"));
  }
  static void TearDownTestSuite() {
    delete server;
    delete tree;
    server = nullptr;
    tree = nullptr;
  }
  void SetUp() override {
    if (!server) GTEST_SKIP() << "python3 and openssl are needed for the loopback HTTPS server";
  }

  Request request(const std::string& path, std::size_t cap = SIZE_MAX) const {
    Request r;
    r.url = server->url(path);
    r.userAgent = "Tavra/0.2.1";
    r.timeout = std::chrono::seconds(20);
    r.maxBodyBytes = cap;
    return r;
  }

  ModuleClient client{
      {.caFile = server ? server->caFile() : std::string(), .modulePath = test::httpModulePath}};
  static test::TempTree* tree;
  static test::HTTPSServer* server;
};

test::TempTree* CurlClientTest::tree = nullptr;
test::HTTPSServer* CurlClientTest::server = nullptr;

TEST_F(CurlClientTest, ReturnsStatusAndBody) {
  struct Case {
    std::string path;
    long status;
    std::string body;
  };
  for (const auto& c : std::vector<Case>{{"/bytes/5", 200, "aaaaa"},
                                         {"/status/404", 404, "status body"},
                                         {"/status/500", 500, "status body"},
                                         {"/status/304", 304, ""},
                                         {"/agent", 200, "Tavra/0.2.1"},
                                         {"/redirect/https/bytes/3", 200, "aaa"}}) {
    const Response response = client.get(request(c.path));
    EXPECT_EQ(response.status, c.status) << c.path;
    EXPECT_EQ(response.body, c.body) << c.path;
    EXPECT_FALSE(response.bodyExceededLimit) << c.path;
  }
}

TEST_F(CurlClientTest, TheBodyCapIsEnforcedWhileReceiving) {
  const std::size_t cap = 4'999'999;
  struct Case {
    std::string path;
    bool exceeded;
  };
  for (const auto& c : std::vector<Case>{{"/bytes/4999999", false},
                                         {"/bytes/5000000", true},
                                         {"/bytes/4999999/unsized", false},
                                         {"/bytes/5000000/unsized", true},
                                         {"/bytes/200000000/unsized", true}}) {
    const Response response = client.get(request(c.path, cap));
    EXPECT_EQ(response.status, 200) << c.path;
    EXPECT_EQ(response.bodyExceededLimit, c.exceeded) << c.path;
    EXPECT_LE(response.body.size(), cap) << c.path;
    if (!c.exceeded) {
      EXPECT_EQ(response.body.size(), cap) << c.path;
    }
  }
}

TEST_F(CurlClientTest, TransportFailuresThrow) {
  Request slow = request("/slow/10");
  slow.timeout = std::chrono::milliseconds(1000);
  EXPECT_THROW(client.get(slow), TransportError);
  // Without the test CA the server's certificate is not trusted.
  EXPECT_THROW(ModuleClient({.modulePath = test::httpModulePath}).get(request("/bytes/1")),
               TransportError);
  // Redirects are followed to https only; plain http is refused outright.
  EXPECT_THROW(client.get(request("/redirect/http/bytes/1")), TransportError);
  Request plain = request("/bytes/1");
  plain.url.replace(0, 5, "http");
  EXPECT_THROW(client.get(plain), TransportError);
}

TEST_F(CurlClientTest, AStopRequestCancelsTheRequest) {
  // Stopped before it starts, and (after a short head start) while the server holds the answer
  // back for 15 s: either way the request ends in Cancelled, never in the late answer.
  for (const auto headStart : {std::chrono::milliseconds(0), std::chrono::milliseconds(300)}) {
    std::stop_source stop;
    std::exception_ptr error;
    std::jthread worker([&] {
      try {
        client.get(request("/slow/15"), stop.get_token());
      } catch (...) {
        error = std::current_exception();
      }
    });
    if (headStart.count() > 0) std::this_thread::sleep_for(headStart);
    stop.request_stop();
    worker.join();
    ASSERT_TRUE(error);
    EXPECT_THROW(std::rethrow_exception(error), Cancelled);
  }
}

}  // namespace
}  // namespace tavra::http
