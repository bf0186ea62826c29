// A whole pass on a failing disk: every call of the pass (reading the catalog and the fragments,
// writing the output, its applied copy, state.json and status.json) fails in turn, or the pass
// "crashes" there and loses every byte not yet synced. The output holds its old or its new
// bytes, status.json the previous report or the one the pass returned, state.json decodes, and no
// temporary file is left (after a crash one may be: it is never read).
#include <gtest/gtest.h>

#include "support/catalog_fixtures.h"
#include "support/faulty_file_system.h"
#include "support/scratch_environment.h"
#include "support/services.h"
#include "support/temp_tree.h"
#include "tavra/base64.h"
#include "tavra/plist.h"
#include "tavra/reconciler.h"

namespace tavra {
namespace {

using Call = test::FaultyFileSystem::Call;
using Fault = test::FaultyFileSystem::Fault;

class Pass {
 public:
  Pass() {
    const std::string catalog = test::alphaCatalogJSON(output);
    environment(test::files()).catalogStore.install(catalog, signer.signatureFile(catalog));
    fragment("first");
    Reconciler(environment(test::files()), {}).run(false);
    fragment("second");
  }

  // The pass under test.
  StatusReport run() const { return Reconciler(environment(files), {}).run(false); }

  std::string readIfThere(const std::string& path) const {
    return test::exists(path) ? test::readFile(path) : "";
  }

  test::TempTree tree;
  std::string support = tree.path("support");
  std::string prefs = tree.mkdir("prefs");
  std::string output = tree.path("out/alpha.json");
  std::shared_ptr<test::FaultyFileSystem> files =
      std::make_shared<test::FaultyFileSystem>(test::files());

 private:
  void fragment(const std::string& value) const {
    const Value payload(Value::Object{
        {"Harnesses",
         Value::Object{{"alpha", Value::Object{{"settings", Value::Object{{"v", value}}}}}}}});
    tree.write("prefs/com.zelkorandin.tavra.policy.p.plist", plist::writeXML(payload));
  }

  Environment environment(std::shared_ptr<const FileSystem> on) const {
    return test::scratchEnvironment({
        .folder = tree.root(),
        .trustedKey = signer.publicBase64(),
        .builtInPathPrefixes = {tree.path("out") + "/"},
        .fileSystem = std::move(on),
    });
  }

  test::CatalogSigningKey signer;
};

class ReconcilerFaultTest : public ::testing::TestWithParam<Fault> {};

TEST_P(ReconcilerFaultTest, EveryFailurePointLeavesOldOrNewFiles) {
  const Fault fault = GetParam();
  std::size_t points = 0;
  {
    Pass counting;
    counting.files->disarm();
    counting.run();
    points = counting.files->calls(Call::any);
  }
  ASSERT_GT(points, 0u);
  for (std::size_t n = 1; n <= points; ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n) + " of " + std::to_string(points));
    Pass pass;
    const std::string outputBefore = test::readFile(pass.output);
    const std::string statusBefore = test::readFile(pass.support + "/status.json");
    pass.files->arm(Call::any, n, fault);
    const StatusReport report = pass.run();
    ASSERT_TRUE(pass.files->fired());
    if (fault == Fault::crash) pass.files->dropUnsyncedData();

    const std::string outputAfter = pass.readIfThere(pass.output);
    EXPECT_TRUE(outputAfter == outputBefore ||
                Value::parseJSON(outputAfter) == Value(Value::Object{{"v", "second"}}))
        << outputAfter;
    const std::string status = pass.readIfThere(pass.support + "/status.json");
    EXPECT_TRUE(status == statusBefore || status == report.encode()) << status;
    EXPECT_NO_THROW(FileApplier::State::decode(
        FileApplier::decoder(test::readFile(pass.support + "/state.json"))));
    if (fault != Fault::crash) {
      EXPECT_EQ(test::temporaryFiles(pass.tree.root()), std::vector<std::string>{});
    }
    if (HasFailure()) break;
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, ReconcilerFaultTest,
                         ::testing::Values(Fault::ioError, Fault::noSpace, Fault::crash),
                         [](const ::testing::TestParamInfo<Fault>& fault) {
                           switch (fault.param) {
                             case Fault::ioError:
                               return std::string("AnyCallFailsWithEIO");
                             case Fault::noSpace:
                               return std::string("AnyCallFailsWithENOSPC");
                             case Fault::crash:
                               return std::string("ACrashAtAnyCall");
                             case Fault::shortWrite:
                               break;
                           }
                           return std::string("other");
                         });

}  // namespace
}  // namespace tavra
