// examples/make-examples.sh run with the built tavractl on a copy of examples/: the committed
// profiles are what it makes from the committed sources, byte for byte, and the committed secrets
// fragment is what it makes up to the sealing of the token, which is fresh on every run.
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/services.h"
#include "support/temp_tree.h"
#include "tavra/decryption_key_provider.h"
#include "tavra/platform/crypto.h"
#include "tavra/profile_builder.h"
#include "tavra/secret_envelope.h"
#include "tavractl/tool_process.h"

namespace tavra::test {
namespace {

namespace stdfs = std::filesystem;

const std::string examples = TAVRA_SOURCE_DIR "/examples";
const std::string demoKey = examples + "/demo-org/demo-org-NOT-FOR-DEPLOYMENT.key.pem";

// The one fragment of a file, its envelopes opened with the demo key.
Value openedFragment(const std::string& path) {
  const InMemoryKeyProvider keys({crypto::P256PrivateKey::fromPEM(readFile(demoKey))});
  const std::vector<ProfileBuilder::FragmentPayload> payloads =
      ProfileBuilder::fragmentPayloads(*files(), path);
  if (payloads.size() != 1) throw std::runtime_error(path + " holds no single fragment");
  return SecretEnvelope::decryptAll(payloads.front().value, keys);
}

TEST(MakeExamplesTest, RegeneratesTheCommittedFiles) {
  if (!hasProgram("bash")) GTEST_SKIP() << "bash is not installed";
  const TempTree tree;
  const std::string copy = tree.path("examples");
  stdfs::copy(examples, copy, stdfs::copy_options::recursive);
  stdfs::remove_all(copy + "/profiles");
  stdfs::remove(copy + "/secrets.mobileconfig");

  const ProcessResult run =
      runProcess({"env", "TAVRACTL=" + tavractlPath, "bash", copy + "/make-examples.sh"});
  ASSERT_EQ(run.status, 0) << run.output << run.errors;
  EXPECT_EQ(run.output,
            "wrote secrets.mobileconfig (domain com.zelkorandin.tavra.policy.secrets)\n"
            "wrote profiles/baseline.mobileconfig (domain com.zelkorandin.tavra.policy.baseline)\n"
            "wrote profiles/team.mobileconfig (domain com.zelkorandin.tavra.policy.team)\n"
            "wrote profiles/settings.mobileconfig (domain com.zelkorandin.tavra)\n");

  for (const char* name : {"profiles/baseline.mobileconfig", "profiles/team.mobileconfig",
                           "profiles/settings.mobileconfig"}) {
    EXPECT_EQ(readFile(copy + "/" + name), readFile(examples + "/" + name))
        << name << " is stale: run examples/make-examples.sh and commit what it makes";
  }
  const std::string secrets = "/secrets.mobileconfig";
  EXPECT_NE(readFile(copy + secrets), readFile(examples + secrets)) << "the token is sealed afresh";
  EXPECT_EQ(openedFragment(copy + secrets), openedFragment(examples + secrets))
      << "secrets.mobileconfig is stale: run examples/make-examples.sh and commit what it makes";
}

// Without a usable tavractl the script says what to do and makes nothing.
TEST(MakeExamplesTest, AMissingToolIsNamed) {
  if (!hasProgram("bash")) GTEST_SKIP() << "bash is not installed";
  const TempTree tree;
  const std::string copy = tree.path("examples");
  stdfs::copy(examples, copy, stdfs::copy_options::recursive);
  stdfs::remove_all(copy + "/profiles");

  const std::string missing = tree.path("no-such-tavractl");
  const ProcessResult run =
      runProcess({"env", "TAVRACTL=" + missing, "bash", copy + "/make-examples.sh"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.errors,
            "make-examples: " + missing + " not found; run scripts/build first or set TAVRACTL\n");
  EXPECT_FALSE(exists(copy + "/profiles"));
}

}  // namespace
}  // namespace tavra::test
