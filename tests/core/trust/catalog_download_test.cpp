// CatalogStore::update: the pin and rollback rules over file URLs and a loopback HTTPS server,
// the download's failures, and the cancellation of the abandoned fetch.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>

#include "support/catalog_fixtures.h"
#include "support/https_server.h"
#include "support/services.h"
#include "support/tavra_error.h"
#include "support/temp_tree.h"
#include "tavra/catalog_store.h"
#include "tavra/error.h"

namespace tavra {
namespace {

using test::catalogJSON;
using Result = CatalogStore::UpdateResult;

std::string catalogMessage(const std::function<void()>& call) {
  return test::tavraErrorMessage(TavraError::Case::catalog, call);
}

struct timespec modified(const std::string& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info.st_mtim;
}

bool sameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Where the test serves a catalog: a folder read through file URLs, or the same folder behind
// the loopback HTTPS server.
enum class Source { file, https };

class CatalogUpdateTest : public ::testing::TestWithParam<Source> {
 protected:
  void SetUp() override {
    if (GetParam() == Source::https) {
      if (!test::HTTPSServer::available()) GTEST_SKIP() << "python3 and openssl are needed";
      server = std::make_unique<test::HTTPSServer>(tree, served);
      store = CatalogStore(cache, {signer.publicBase64()}, test::files(),
                           {server->client(), std::chrono::seconds(20)});
    }
  }

  // Publishes a signed catalog of `version` and returns its URL.
  URL publish(const std::string& version) {
    const std::string catalog = catalogJSON(version);
    tree.write("served/catalog.json", catalog);
    tree.write("served/catalog.json.sig", signer.signatureFile(catalog));
    return urlOf("catalog.json");
  }
  URL urlOf(const std::string& name) {
    const std::string text = GetParam() == Source::https ? server->url("/files/" + name)
                                                         : "file://" + served + "/" + name;
    return *URL::parse(text);
  }
  void installed(const std::string& version) {
    const std::string catalog = catalogJSON(version);
    store.install(catalog, signer.signatureFile(catalog));
  }
  std::string cachedVersion() { return store.cached()->catalogVersion; }

  test::TempTree tree;
  test::CatalogSigningKey signer;
  std::string served = tree.mkdir("served");
  std::string cache = tree.path("cache");
  CatalogStore store{cache, {signer.publicBase64()}, test::files()};
  std::unique_ptr<test::HTTPSServer> server;
};

TEST_P(CatalogUpdateTest, WithoutAPinOnlyNewerVersionsAreInstalled) {
  EXPECT_EQ(store.update(publish("2.0"), std::nullopt), Result::updated("2.0"));
  const auto before = modified(cache + "/catalog.json");
  const auto sigBefore = modified(cache + "/catalog.json.sig");

  EXPECT_EQ(store.update(publish("2.0"), std::nullopt), Result::unchanged("2.0"));
  EXPECT_EQ(catalogMessage([&] { store.update(publish("1.9"), std::nullopt); }),
            "refusing rollback from 2.0 to 1.9");
  EXPECT_TRUE(sameTime(modified(cache + "/catalog.json"), before));
  EXPECT_TRUE(sameTime(modified(cache + "/catalog.json.sig"), sigBefore));
  EXPECT_EQ(cachedVersion(), "2.0");

  EXPECT_EQ(store.update(publish("2.1"), std::nullopt), Result::updated("2.1"));
  EXPECT_EQ(cachedVersion(), "2.1");
}

TEST_P(CatalogUpdateTest, EqualVersionsKeepTheInstalledSpelling) {
  installed("1.0");
  EXPECT_EQ(store.update(publish("1.0.0"), std::nullopt), Result::unchanged("1.0"));
}

TEST_P(CatalogUpdateTest, APinIsComparedAsExactText) {
  installed("2.0");
  EXPECT_EQ(store.update(publish("1.5"), "1.5"), Result::updated("1.5"));
  EXPECT_EQ(cachedVersion(), "1.5");
  // A satisfied pin rewrites the cache every time.
  EXPECT_EQ(store.update(publish("1.5"), "1.5"), Result::updated("1.5"));
  EXPECT_EQ(store.update(publish("1.6"), "1.5"), Result::unchanged("1.5"));
  EXPECT_EQ(cachedVersion(), "1.5");
  EXPECT_EQ(
      catalogMessage([&] { store.update(publish("1.5.0"), "1.5.1"); }),
      "pinned version 1.5.1 not available at " + urlOf("catalog.json").text() + " (found 1.5.0)");
}

TEST_P(CatalogUpdateTest, APinWithNothingInstalledAndTheWrongVersionFails) {
  const std::string message = catalogMessage([&] { store.update(publish("1.6"), "1.5"); });
  EXPECT_TRUE(message.ends_with(" (found 1.6)")) << message;
  EXPECT_FALSE(std::filesystem::exists(cache));
}

TEST_P(CatalogUpdateTest, ADamagedCacheNeverBlocksAnUpdate) {
  installed("9.0");
  tree.write("cache/catalog.json", catalogJSON("9.1"));  // no longer matches its signature
  EXPECT_EQ(store.update(publish("0.1"), std::nullopt), Result::updated("0.1"));
  EXPECT_EQ(cachedVersion(), "0.1");
}

TEST_P(CatalogUpdateTest, ADownloadThatDoesNotVerifyWritesNothing) {
  installed("1.0");
  const auto before = modified(cache + "/catalog.json");
  tree.write("served/catalog.json", catalogJSON("5.0"));
  tree.write("served/catalog.json.sig",
             test::CatalogSigningKey().signatureFile(catalogJSON("5.0")));
  EXPECT_THROW(store.update(urlOf("catalog.json"), std::nullopt), TavraError);
  EXPECT_TRUE(sameTime(modified(cache + "/catalog.json"), before));
  tree.write("served/catalog.json.sig", "not base64\n");
  EXPECT_THROW(store.update(urlOf("catalog.json"), std::nullopt), TavraError);
}

TEST_P(CatalogUpdateTest, AMissingSignatureFails) {
  tree.write("served/other.json", catalogJSON("1"));
  EXPECT_ANY_THROW(store.update(urlOf("other.json"), std::nullopt));
  EXPECT_FALSE(store.cached());
}

INSTANTIATE_TEST_SUITE_P(Sources, CatalogUpdateTest, ::testing::Values(Source::file, Source::https),
                         [](const auto& param) {
                           return param.param == Source::file ? "file" : "https";
                         });

class CatalogDownloadTest : public ::testing::Test {
 protected:
  test::TempTree tree;
  test::CatalogSigningKey signer;
};

TEST_F(CatalogDownloadTest, OnlyHTTPSAndFileURLsAreAccepted) {
  const CatalogStore store(tree.path("cache"), {signer.publicBase64()}, test::files());
  for (const std::string url :
       {"http://example.invalid/catalog.json", "ftp://example.invalid/catalog.json",
        "HTTPS://example.invalid/catalog.json"}) {
    EXPECT_EQ(catalogMessage([&] { store.update(*URL::parse(url), std::nullopt); }),
              "catalog URL must be https")
        << url;
  }
  // A file URL reads the catalog and the ".sig" file beside it; a missing file is the file
  // system's error.
  const std::string catalog = catalogJSON("3");
  tree.write("c/catalog.json", catalog);
  tree.write("c/catalog.json.sig", signer.signatureFile(catalog));
  EXPECT_EQ(store.update(*URL::parse("file://" + tree.path("c/catalog.json")), std::nullopt),
            Result::updated("3"));
  EXPECT_THROW(store.update(*URL::parse("file://" + tree.path("c/none.json")), std::nullopt),
               std::system_error);
}

TEST_F(CatalogDownloadTest, HTTPSStatusSizeAndTimeout) {
  if (!test::HTTPSServer::available()) GTEST_SKIP() << "python3 and openssl are needed";
  const std::string served = tree.mkdir("served");
  const test::HTTPSServer server(tree, served);
  const auto client = server.client();
  const CatalogStore store(tree.path("cache"), {signer.publicBase64()}, test::files(),
                           {client, std::chrono::seconds(20)});
  const auto update = [&](const std::string& path) {
    return store.update(*URL::parse(server.url(path)), std::nullopt);
  };
  for (const int status : {304, 404, 500}) {
    const std::string path = "/status/" + std::to_string(status) + "/catalog.json";
    EXPECT_EQ(catalogMessage([&] { update(path); }),
              "download of " + server.url(path) + " failed (" + std::to_string(status) + ")");
  }
  // A catalog of exactly 4,999,999 bytes passes the size check; one byte more does not.
  std::string big = catalogJSON("4.0");
  big.resize(4'999'999, ' ');
  tree.write("served/big.json", big);
  tree.write("served/big.json.sig", signer.signatureFile(big));
  EXPECT_EQ(update("/files/big.json"), Result::updated("4.0"));
  big += ' ';
  tree.write("served/big.json", big);
  tree.write("served/big.json.sig", signer.signatureFile(big));
  EXPECT_EQ(catalogMessage([&] { update("/files/big.json"); }), "catalog too large");
  EXPECT_EQ(catalogMessage([&] { update("/bytes/300000000/unsized"); }), "catalog too large");
  // The status is checked before the size.
  EXPECT_EQ(catalogMessage([&] { update("/status/500/x.json"); }),
            "download of " + server.url("/status/500/x.json") + " failed (500)");

  const CatalogStore impatient(tree.path("cache"), {signer.publicBase64()}, test::files(),
                               {client, std::chrono::milliseconds(1000)});
  EXPECT_THROW(impatient.update(*URL::parse(server.url("/slow/10/catalog.json")), std::nullopt),
               http::TransportError);
}

// Without the HTTP module an https download fails with the loader's text, and file URLs still
// work with the same store.
TEST_F(CatalogDownloadTest, AMissingHTTPModuleFailsOnlyTheHTTPSDownloadWithItsText) {
  const std::string module = tree.path("no-such-folder/tavra-http.so");
  const CatalogStore store(
      tree.path("cache"), {signer.publicBase64()}, test::files(),
      {std::make_shared<http::ModuleClient>(http::ModuleClient::Options{.modulePath = module}),
       std::chrono::seconds(20)});
  EXPECT_EQ(test::transportErrorText([&] {
              store.update(*URL::parse("https://127.0.0.1:1/c/catalog.json"), std::nullopt);
            }),
            "the HTTP module tavra-http.so is missing: looked for " + module);
  const std::string catalog = catalogJSON("2.0");
  tree.write("c/catalog.json", catalog);
  tree.write("c/catalog.json.sig", signer.signatureFile(catalog));
  EXPECT_EQ(store.update(*URL::parse("file://" + tree.path("c/catalog.json")), std::nullopt),
            Result::updated("2.0"));
}

// A client whose answers the test scripts. A request for a URL in `hanging` waits until it is
// cancelled, or gives up after 20 s and reports that it was not.
class ScriptedClient final : public http::Client {
 public:
  std::map<std::string, http::Response> answers;
  std::set<std::string> hanging;
  mutable std::mutex mutex;
  mutable bool cancelled = false;
  mutable std::vector<std::string> requested;

  http::Response get(const http::Request& request, std::stop_token cancel) const override {
    std::unique_lock lock(mutex);
    requested.push_back(request.url + " " + request.userAgent + " " +
                        std::to_string(request.maxBodyBytes) + " " +
                        std::to_string(request.timeout.count()));
    if (hanging.contains(request.url)) {
      std::condition_variable_any never;
      never.wait_for(lock, cancel, std::chrono::seconds(20), [] { return false; });
      if (!cancel.stop_requested()) throw http::TransportError("not cancelled");
      cancelled = true;
      throw http::Cancelled();
    }
    const auto found = answers.find(request.url);
    if (found == answers.end()) throw http::TransportError("no route");
    return found->second;
  }
};

TEST_F(CatalogDownloadTest, TheSignatureFetchIsCancelledAndAwaitedWhenTheCatalogFails) {
  auto client = std::make_shared<ScriptedClient>();
  client->answers["https://h.example/c/catalog.json"] = {404, "", false};
  client->hanging.insert("https://h.example/c/catalog.json.sig");
  const CatalogStore store(tree.path("cache"), {signer.publicBase64()}, test::files(), {client});
  EXPECT_EQ(catalogMessage([&] {
              store.update(*URL::parse("https://h.example/c/catalog.json"), std::nullopt);
            }),
            "download of https://h.example/c/catalog.json failed (404)");
  std::lock_guard lock(client->mutex);
  EXPECT_TRUE(client->cancelled);  // set before update returned: the fetch was awaited
  ASSERT_EQ(client->requested.size(), 2u);
  std::sort(client->requested.begin(), client->requested.end());
  EXPECT_EQ(client->requested[0], "https://h.example/c/catalog.json Tavra/0.2.1 4999999 30000");
  EXPECT_EQ(client->requested[1], "https://h.example/c/catalog.json.sig Tavra/0.2.1 4999999 30000");
}

TEST_F(CatalogDownloadTest, ASignatureFailureIsReportedAfterTheCatalogArrived) {
  auto client = std::make_shared<ScriptedClient>();
  client->answers["https://h.example/ok/catalog.json"] = {200, catalogJSON("1"), false};
  client->answers["https://h.example/ok/catalog.json.sig"] = {500, "", false};
  const CatalogStore store(tree.path("cache"), {signer.publicBase64()}, test::files(), {client});
  EXPECT_EQ(catalogMessage([&] {
              store.update(*URL::parse("https://h.example/ok/catalog.json"), std::nullopt);
            }),
            "download of https://h.example/ok/catalog.json.sig failed (500)");
  // A catalog answer above the cap is refused only after its status is known to be 200.
  client->answers["https://h.example/ok/catalog.json"] = {200, "", true};
  EXPECT_EQ(catalogMessage([&] {
              store.update(*URL::parse("https://h.example/ok/catalog.json"), std::nullopt);
            }),
            "catalog too large");
}

}  // namespace
}  // namespace tavra
