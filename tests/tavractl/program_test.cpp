// The built program: exit statuses and the separation of standard output and standard error,
// seen from outside as a script would see them.
#include <gtest/gtest.h>

#include "tool_process.h"

namespace tavra::test {
namespace {

TEST(ProgramTest, HelpAndVersionGoToStandardOutputAndEndWithZero) {
  for (const auto& words : std::vector<std::vector<std::string>>{
           {}, {"--help"}, {"-h"}, {"catalog"}, {"help", "catalog", "sign"}, {"--version"}}) {
    ProcessResult result = runTavractl(words);
    EXPECT_EQ(result.status, 0);
    EXPECT_FALSE(result.output.empty());
    EXPECT_EQ(result.errors, "");
  }
  EXPECT_EQ(runTavractl({"--version"}).output, "0.2.1\n");
}

TEST(ProgramTest, AParseErrorGoesToStandardErrorWithTheUsageAndEndsWith64) {
  ProcessResult result = runTavractl({"discover", "--bogus"});
  EXPECT_EQ(result.status, 64);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.errors,
            "Error: argument 2 is an unknown option\n"
            "Usage: tavractl discover [--json] [--catalog <catalog>] [--all] [--line] "
            "[--unmanaged-only]\n"
            "  See 'tavractl discover --help' for more information.\n");
}

TEST(ProgramTest, AnyOtherErrorGoesToStandardErrorAndEndsWithOne) {
  ProcessResult result = runTavractl({"decrypt", "--key", "/nonexistent/tavra-org.key.pem"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.errors.rfind("Error: ", 0), 0u);
  EXPECT_EQ(result.errors.find('\n'), result.errors.size() - 1) << "one line, no stack trace";
}

TEST(ProgramTest, OutputThatCannotBeWrittenIsAFailure) {
  ProcessResult result = runProcess({"sh", "-c", "\"$0\" --version >/dev/full", tavractlPath});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.errors, "Error: cannot write to standard output\n");
}

TEST(ProgramTest, ArgumentsThatAreNotUTF8AreRefused) {
  ProcessResult result = runTavractl({"status", "--file", "\xFF\xFE"});
  EXPECT_EQ(result.status, 64);
  EXPECT_NE(result.errors.find("not valid UTF-8"), std::string::npos);
}

// A secret that is not UTF-8 is refused without being shown on standard error.
TEST(ProgramTest, ARefusedSecretIsNotEchoed) {
  ProcessResult result = runTavractl({"encrypt", "--cert", "c.pem", "S3CRET\xE4"});
  EXPECT_EQ(result.status, 64);
  EXPECT_EQ(result.output, "");
  EXPECT_TRUE(result.errors.starts_with("Error: argument 4 is not valid UTF-8\n")) << result.errors;
  EXPECT_EQ(result.errors.find("S3CRET"), std::string::npos) << result.errors;
}

}  // namespace
}  // namespace tavra::test
