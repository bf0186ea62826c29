// The real tavrad and its HTTP module: the program links no libcurl, finds the module beside
// itself when a refresh downloads over https, and without the module reports that refresh's
// failure clearly and goes on with its passes. Runs in a private root (see private_root_daemon.h)
// whose network namespace has no interface up, so nothing leaves the machine.
#include <gtest/gtest.h>

#include "support/child_process.h"
#include "tavra/plist.h"
#include "tavra/value.h"
#include "tavrad/support/private_root_daemon.h"

namespace tavra::test {
namespace {

using Line = PrivateRootDaemon::Line;

TEST(TavradHTTPModuleTest, TheProgramDoesNotLinkLibcurl) {
  const ProcessResult result = runProcess({"env", "LD_TRACE_LOADED_OBJECTS=1", TAVRAD_BINARY});
  ASSERT_EQ(result.status, 0) << result.errors;
  EXPECT_NE(result.output.find("libc.so"), std::string::npos) << result.output;
  EXPECT_EQ(result.output.find("libcurl"), std::string::npos) << result.output;
}

// The text of the daemon's first refresh failure, from an https URL no server answers.
std::string firstRefreshFailure(PrivateRootDaemon& daemon) {
  daemon.write("/Library/Managed Preferences/com.zelkorandin.tavra.plist",
               plist::writeXML(Value(Value::Object{
                   {"CatalogURL", "https://127.0.0.1:1/catalog.json"},
               })));
  daemon.start();
  // The refresh runs beside the pass, which goes on whatever becomes of it: the two lines come
  // in either order.
  std::string failure;
  bool summary = false;
  const auto isFailure = [](const Line& line) {
    return line.category == "daemon" && line.text.starts_with("catalog update failed: ");
  };
  const auto isSummary = [](const Line& line) {
    return line.category == "daemon" && line.text.starts_with("error; catalog none;");
  };
  for (int i = 0; i < 2; ++i) {
    const auto line = daemon.waitFor([&](const Line& l) { return isFailure(l) || isSummary(l); });
    if (!line) break;
    if (isFailure(*line)) failure = line->text;
    summary = summary || isSummary(*line);
  }
  EXPECT_TRUE(summary);
  daemon.signal(SIGTERM);
  daemon.waitForExit();
  return failure;
}

TEST(TavradHTTPModuleTest, ARefreshLoadsTheModuleFromBesideTheProgram) {
  PrivateRootDaemon daemon;
  if (daemon.unavailable()) GTEST_SKIP() << "no private root here: " << *daemon.unavailable();
  const std::string failure = firstRefreshFailure(daemon);
  // libcurl itself could not connect: the module was loaded.
  EXPECT_TRUE(failure.starts_with("catalog update failed: ")) << failure;
  EXPECT_EQ(failure.find("HTTP module"), std::string::npos) << failure;
  EXPECT_NE(failure.find("127.0.0.1"), std::string::npos) << failure;
}

TEST(TavradHTTPModuleTest, WithoutTheModuleARefreshFailsClearlyAndNothingElseBreaks) {
  PrivateRootDaemon daemon(/*asNobody=*/false, /*withHttpModule=*/false);
  if (daemon.unavailable()) GTEST_SKIP() << "no private root here: " << *daemon.unavailable();
  EXPECT_EQ(firstRefreshFailure(daemon),
            "catalog update failed: the HTTP module tavra-http.so is missing: looked for "
            "/tavrad-test/tavra-http.so and /lib/tavra/tavra-http.so");
}

}  // namespace
}  // namespace tavra::test
