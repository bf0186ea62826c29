// The files the tool takes in, seen from outside: a path the administrator gives may be a pipe or
// a character device, as /dev/stdin and a shell's process substitution are; every command that
// names a file reads it there.
#include "input_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "support/services.h"
#include "support/temp_tree.h"
#include "support/thrown.h"
#include "tavra/base64.h"
#include "tavra/constants.h"
#include "tavra/platform/crypto.h"
#include "tavra/plist.h"
#include "tavra/secret_envelope.h"
#include "tavra/status_report.h"
#include "tool_fixtures.h"
#include "tool_process.h"

namespace tavra::test {
namespace {

using ctl::InputSource;

TEST(InputFileTest, ANamedPipeIsReadAndAFoundOneRefusedAtOnce) {
  TempTree tree;
  const std::string fifo = tree.path("input.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Found, it is never opened, so no writer is needed for the answer.
  EXPECT_EQ(thrownText<ctl::InputFileError>(
                [&] { ctl::readInputFile(*files(), fifo, InputSource::found); }),
            "cannot read " + fifo + ": not a regular file");
  std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << "fed"; });
  EXPECT_EQ(ctl::readInputFile(*files(), fifo), "fed");
  writer.join();
  EXPECT_EQ(ctl::readInputFile(*files(), "/dev/null"), "");
  const auto endless =
      thrown<ctl::InputFileError>([&] { ctl::readInputFile(*files(), "/dev/zero"); });
  ASSERT_TRUE(endless);
  EXPECT_EQ(endless->reason(), ctl::InputFileError::Reason::tooLarge);
  EXPECT_EQ(std::string(endless->what()), "cannot read /dev/zero: larger than 64 MiB");
}

class NamedInputProgramTest : public ::testing::Test {
 protected:
  TempTree tree;
  std::string catalog = tree.write("catalog.json", toolCatalogJSON());
  std::string fragment =
      fragmentJSON("team", 5, R"({"alpha":{"settings":{"model":"m"}},"beta":{"config":{}}})");
  std::string fragmentFile = tree.write("team.json", fragment);
};

TEST_F(NamedInputProgramTest, EveryNamedFileMayBeStandardInput) {
  const OrganisationKey org(tree);
  const std::string keyPEM = readFile(org.keyFile);
  const crypto::P256PrivateKey key = crypto::P256PrivateKey::fromPEM(keyPEM);
  const std::string envelope = SecretEnvelope::encrypt("s3cret", key.publicKey().x963());
  const std::string keyID = SecretEnvelope::keyID(key.publicKey().x963());
  StatusReport report;
  report.timestamp = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
  report.catalogVersion = "3.1";
  report.harnesses = {{"alpha", StatusReport::HarnessState::managed, {}, {}, {}, {}}};
  const std::string signingKey = base64::encode(crypto::Ed25519PrivateKey::generate().raw());
  const std::string plistFragment = plist::writeXML(Value::parseJSON(fragment));

  struct Case {
    std::vector<std::string> words;
    std::string input;
    std::string shown;  // a part of the output
  };
  for (const Case& c : std::vector<Case>{
           {{"decrypt", "--key", "/dev/stdin", envelope}, keyPEM, "s3cret\n"},
           {{"key-info", "--cert", "/dev/stdin"},
            readFile(org.certificate),
            "key id:     " + keyID},
           {{"encrypt", "--cert", "/dev/stdin", "s3cret"},
            readFile(org.certificate),
            "TAVRA-ENC:v1:" + keyID + ":"},
           {{"validate", "--catalog", "/dev/stdin", fragmentFile},
            toolCatalogJSON(),
            "\u2713 1 fragment(s) valid against catalog 3.1\n"},
           {{"validate", "--catalog", catalog, "/dev/stdin"},
            plistFragment,
            "\u2713 1 fragment(s) valid against catalog 3.1\n"},
           {{"preview", "--catalog", "/dev/stdin", fragmentFile},
            toolCatalogJSON(),
            "\u2500\u2500 Alpha Code \u00b7 settings"},
           {{"preview", "--catalog", catalog, "--key", "/dev/stdin", fragmentFile},
            keyPEM,
            "\u2500\u2500 Alpha Code \u00b7 settings"},
           {{"simulate", "--catalog", "/dev/stdin", "--out", tree.path("sim"), fragmentFile},
            toolCatalogJSON(),
            "managed: alpha,beta\n"},
           {{"profile", "/dev/stdin", "--name", "team"},
            plistFragment,
            "<string>com.zelkorandin.tavra.policy.team</string>"},
           {{"status", "--line", "--file", "/dev/stdin"},
            report.encode(),
            "ok | catalog 3.1 | managed alpha | last run 0m ago\n"},
           {{"schema", "--catalog", "/dev/stdin"},
            toolCatalogJSON(),
            "Available: alpha: settings, extra; beta: config."},
           {{"discover", "--catalog", "/dev/stdin", "--json"}, toolCatalogJSON(), "[]\n"},
           {{"catalog", "sign", catalog, "--key", "/dev/stdin"},
            signingKey,
            "wrote " + catalog + ".sig\n"},
       }) {
    SCOPED_TRACE(c.words.front());
    const ProcessResult result = runTavractl(c.words, {}, c.input);
    EXPECT_EQ(result.status, 0) << result.errors;
    EXPECT_NE(result.output.find(c.shown), std::string::npos) << result.output << result.errors;
  }
}

TEST_F(NamedInputProgramTest, AProcessSubstitutionIsReadToo) {
  if (!hasProgram("bash")) GTEST_SKIP() << "bash is not available";
  const ProcessResult result = runProcess(
      {"bash", "-c", "\"$0\" validate --catalog <(cat \"$1\") <(cat \"$2\")", tavractlPath, catalog,
       tree.write("team.plist", plist::writeXML(Value::parseJSON(fragment)))});
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(result.output, "\u2713 1 fragment(s) valid against catalog 3.1\n");
}

}  // namespace
}  // namespace tavra::test
