// libcurl loaded on first use: the program starts without it, and downloads and URL parsing work
// through the loader (this test program is linked with it, as the tool is).
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/child_process.h"
#include "support/https_server.h"
#include "support/temp_tree.h"
#include "tavra/platform/http.h"
#include "tavra/url.h"
#include "tool_process.h"

namespace tavra::test {
namespace {

TEST(LazyCurlTest, TheProgramDoesNotLoadLibcurlAtStart) {
  if (!hasProgram("readelf")) GTEST_SKIP() << "readelf is not installed";
  ProcessResult dynamic = runProcess({"readelf", "-d", tavractlPath});
  ASSERT_EQ(dynamic.status, 0);
  EXPECT_EQ(dynamic.output.find("libcurl"), std::string::npos) << dynamic.output;
  EXPECT_EQ(dynamic.output.find("libuv"), std::string::npos) << dynamic.output;
  EXPECT_NE(dynamic.output.find("libcrypto"), std::string::npos) << dynamic.output;
}

TEST(LazyCurlTest, URLsParseThroughTheLoader) {
  std::optional<URL> url = URL::parse("https://example.com/a/catalog.json");
  ASSERT_TRUE(url.has_value());
  EXPECT_EQ(url->scheme(), "https");
}

TEST(LazyCurlTest, ADownloadWorksThroughTheLoader) {
  if (!HTTPSServer::available()) GTEST_SKIP() << "python3 and openssl are needed for the server";
  TempTree tree;
  tree.write("www/catalog.json", "{}");
  HTTPSServer server(tree, tree.path("www"));
  http::CurlClient client(http::CurlClient::Options{server.caFile()});
  http::Request request;
  request.url = server.url("/files/catalog.json");
  request.userAgent = "Tavra/0.2.1";
  http::Response response = client.get(request);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "{}");
  request.url = server.url("/agent");
  EXPECT_EQ(client.get(request).body, "Tavra/0.2.1");
  request.url = "https://127.0.0.1:1/nothing";
  EXPECT_THROW(client.get(request), http::TransportError);
}

TEST(LazyCurlTest, TheProgramReadsTheSystemSettingsWithItsDefaultCatalogURL) {
  if (access("/Library/Application Support/Tavra/catalog", F_OK) == 0) {
    GTEST_SKIP() << "a catalog is installed on this machine";
  }
  ProcessResult result = runTavractl({"discover"});
  EXPECT_EQ(result.status, 64) << result.errors;
  EXPECT_EQ(result.errors.substr(0, result.errors.find('\n')),
            "Error: no verified catalog installed; pass --catalog <catalog.json>");
}

}  // namespace
}  // namespace tavra::test
