// The built tavractl loads no HTTP library at start: libcurl and what it brings are in the HTTP
// module, which only a download loads.
#include <gtest/gtest.h>

#include "tool_process.h"

namespace tavra::test {
namespace {

// What the dynamic loader would map for the program (ldd's way: it lists them and stops).
TEST(TavractlHTTPModuleTest, TheProgramDoesNotLinkLibcurl) {
  const ProcessResult result = runProcess({"env", "LD_TRACE_LOADED_OBJECTS=1", tavractlPath});
  ASSERT_EQ(result.status, 0) << result.errors;
  EXPECT_NE(result.output.find("libc.so"), std::string::npos) << result.output;
  EXPECT_EQ(result.output.find("libcurl"), std::string::npos) << result.output;
}

}  // namespace
}  // namespace tavra::test
