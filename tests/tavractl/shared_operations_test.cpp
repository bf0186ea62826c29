// The operations several commands share: loadCatalog, FragmentInputs, PassthroughKeys, printJSON.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <limits>
#include <sstream>
#include <thread>

#include "errors.h"
#include "fake_context.h"
#include "fragment_inputs.h"
#include "load_catalog.h"
#include "passthrough_keys.h"
#include "print_json.h"
#include "support/catalog_fixtures.h"
#include "support/services.h"
#include "support/tavra_error.h"
#include "support/temp_tree.h"
#include "support/thrown.h"
#include "tavra/constants.h"
#include "tavra/error.h"
#include "tavra/plist.h"

namespace tavra::test {
namespace {

using ctl::FragmentInputs;
using ctl::ValidationError;

std::string validationMessage(const std::function<void()>& call) {
  return thrownText<ValidationError>(call);
}

class LoadCatalogTest : public ::testing::Test {
 protected:
  Catalog load(const std::optional<std::string>& path, bool verify) {
    return ctl::loadCatalog(path, verify, fake.context);
  }
  TempTree tree;
  FakeContext fake;
};

TEST_F(LoadCatalogTest, AnExplicitFileNeedsNoSignatureWhenNotVerified) {
  const std::string path = tree.write("catalog.json", catalogJSON("1.0"));
  EXPECT_EQ(load(path, false).catalogVersion, "1.0");
  tree.write("catalog.json.sig", "not a signature\n");
  EXPECT_EQ(load(path, false).catalogVersion, "1.0");
}

TEST_F(LoadCatalogTest, UnusableFilesAreCannotRead) {
  const std::string missing = tree.path("missing.json");
  EXPECT_EQ(validationMessage([&] { load(missing, false); }), "cannot read " + missing);
  const std::string folder = tree.mkdir("folder.json");
  EXPECT_EQ(validationMessage([&] { load(folder, false); }), "cannot read " + folder);
  const std::string huge = tree.write("huge.json", "");
  ASSERT_EQ(truncate(huge.c_str(), Constants::maxInputFileBytes + 1), 0);  // sparse
  EXPECT_EQ(validationMessage([&] { load(huge, false); }),
            "cannot read " + huge + ": larger than 64 MiB");
}

// The catalog named is read whatever kind of file it is; the signature beside it is a name the
// tool made up, so a FIFO there is refused at once instead of waited for.
TEST_F(LoadCatalogTest, ANamedPipeIsReadButNotASignaturePipeBesideIt) {
  const std::string fifo = tree.path("fifo.json");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << catalogJSON("4.2"); });
  EXPECT_EQ(load(fifo, false).catalogVersion, "4.2");
  writer.join();

  const std::string path = tree.write("catalog.json", catalogJSON("1.0"));
  ASSERT_EQ(mkfifo((path + ".sig").c_str(), 0600), 0);
  EXPECT_EQ(validationMessage([&] { load(path, true); }), "missing " + path + ".sig");
}

TEST_F(LoadCatalogTest, EmptyAndBinaryFilesFailToDecode) {
  for (const std::string& bytes : {std::string(), std::string("\x00\xFF\x13\x37", 4)}) {
    const std::string path = tree.write("bad.json", bytes);
    EXPECT_THROW(load(path, false), Catalog::DecodeError);
  }
}

TEST_F(LoadCatalogTest, VerifiedNeedsASignatureFileAndABuiltInKey) {
  const std::string path = tree.write("catalog.json", catalogJSON("1.0"));
  EXPECT_EQ(validationMessage([&] { load(path, true); }), "missing " + path + ".sig");
  // A key that settings might trust is not enough for an explicit file.
  CatalogSigningKey key;
  tree.write("catalog.json.sig", key.signatureFile(catalogJSON("1.0")));
  tavraErrorMessage(TavraError::Case::signature, [&] { load(path, true); });  // any message
}

TEST_F(LoadCatalogTest, WithoutAPathTheInstalledCatalogIsUsed) {
  EXPECT_EQ(validationMessage([&] { load(std::nullopt, false); }),
            "no verified catalog installed; pass --catalog <catalog.json>");
  fake.context.installedCatalog = [] { return Catalog::decode(catalogJSON("2.5")); };
  EXPECT_EQ(load(std::nullopt, true).catalogVersion, "2.5");
  fake.context.installedCatalog = []() -> std::optional<Catalog> {
    throw TavraError::signature("catalog signature does not match any trusted key");
  };
  EXPECT_THROW(load(std::nullopt, false), TavraError);
}

// ---- FragmentInputs ---------------------------------------------------------------------------

std::string fragmentJSON(const std::string& id, int priority = 0) {
  return R"({"PolicyID":")" + id + R"(","Priority":)" + std::to_string(priority) +
         R"(,"Harnesses":{"codex":{"config":{"model":"m"}}}})";
}

std::vector<std::string> ids(const FragmentInputs::Loaded& loaded) {
  std::vector<std::string> out;
  for (const auto& fragment : loaded.fragments) out.push_back(fragment.id);
  return out;
}

class FragmentInputsTest : public ::testing::Test {
 protected:
  FragmentInputs inputs(std::vector<std::string> paths) { return FragmentInputs{std::move(paths)}; }
  TempTree tree;
};

TEST_F(FragmentInputsTest, AFolderGivesItsFragmentFilesSortedWithoutRecursing) {
  const std::string dir = tree.mkdir("dir");
  tree.write("dir/b.plist", plist::writeXML(Value::parseJSON(fragmentJSON("b"))));
  tree.write("dir/a.json", fragmentJSON("a"));
  tree.write("dir/notes.txt", "notes");
  tree.write("dir/C.JSON", fragmentJSON("c"));
  tree.write("dir/sub/d.json", fragmentJSON("d"));
  EXPECT_EQ(inputs({dir}).expand(*test::files()),
            (std::vector<std::string>{dir + "/a.json", dir + "/b.plist"}));
  EXPECT_EQ(inputs({dir + "/"}).expand(*test::files()),
            (std::vector<std::string>{dir + "/a.json", dir + "/b.plist"}));
  FragmentInputs::Loaded loaded = inputs({dir}).load(*test::files());
  EXPECT_EQ(ids(loaded), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(loaded.errors.empty());
}

TEST_F(FragmentInputsTest, AFileGivenDirectlyIsReadWhateverItsName) {
  const std::string notes =
      tree.write("notes.txt", plist::writeXML(Value::parseJSON(fragmentJSON("n"))));
  EXPECT_EQ(ids(inputs({notes}).load(*test::files())), std::vector<std::string>{"n"});
}

// A path given is the administrator's to feed: a pipe there is read to its end (a FIFO found in
// a folder is not, see below).
TEST_F(FragmentInputsTest, AFileGivenDirectlyMayBeAPipe) {
  const std::string fifo = tree.path("team.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] {
    std::ofstream(fifo, std::ios::binary) << plist::writeXML(Value::parseJSON(fragmentJSON("p")));
  });
  FragmentInputs::Loaded loaded = inputs({fifo}).load(*test::files());
  writer.join();
  EXPECT_EQ(ids(loaded), std::vector<std::string>{"p"});
  EXPECT_TRUE(loaded.errors.empty());
}

// A fragment the daemon would read (its cap is the tool's) is one the tool validates.
TEST_F(FragmentInputsTest, AFragmentTheDaemonWouldReadIsReadToo) {
  const std::string large =
      tree.write("large.json", R"({"PolicyID":"large","Harnesses":{"codex":{"config":{"pad":")" +
                                   std::string(17 << 20, 'x') + R"("}}}})");
  FragmentInputs::Loaded loaded = inputs({large}).load(*test::files());
  EXPECT_EQ(ids(loaded), std::vector<std::string>{"large"});
  EXPECT_TRUE(loaded.errors.empty()) << loaded.errors.front().substr(0, 200);
}

TEST_F(FragmentInputsTest, AMissingPathEndsTheLoadEvenAfterGoodOnes) {
  const std::string good = tree.write("good.json", fragmentJSON("g"));
  const std::string missing = tree.path("missing.json");
  EXPECT_EQ(validationMessage([&] {
              inputs({good, missing}).load(*test::files());
            }),
            missing + " not found");
}

TEST_F(FragmentInputsTest, AProfileStopsAtItsFirstBadPayload) {
  Value::Array payloads;
  for (const auto& [domain, priority] : std::vector<std::pair<std::string, Value>>{
           {"one", Value(1)}, {"two", Value("high")}, {"three", Value(3)}}) {
    payloads.push_back(Value::Object{
        {"PayloadType", "com.zelkorandin.tavra.policy." + domain},
        {"Priority", priority},
        {"Harnesses", Value::Object{{"codex", Value::Object{{"config", Value::Object{}}}}}}});
  }
  const std::string profile =
      tree.write("team.mobileconfig", plist::writeXML(Value::Object{{"PayloadContent", payloads}}));
  FragmentInputs::Loaded loaded = inputs({profile}).load(*test::files());
  EXPECT_EQ(ids(loaded), std::vector<std::string>{"one"});
  ASSERT_EQ(loaded.errors.size(), 1u);
  EXPECT_EQ(loaded.errors[0].rfind(profile + ": policy fragment: ", 0), 0u) << loaded.errors[0];
}

TEST_F(FragmentInputsTest, ADisabledFragmentGivesNothing) {
  const std::string off = tree.write("off.json", R"({"Enabled":false,"Harnesses":{}})");
  FragmentInputs::Loaded loaded = inputs({off}).load(*test::files());
  EXPECT_TRUE(loaded.fragments.empty());
  EXPECT_TRUE(loaded.errors.empty());
}

TEST_F(FragmentInputsTest, UnusableFilesAreErrorsAndTheRestLoads) {
  const std::string dir = tree.mkdir("dir");
  tree.write("dir/1-empty.json", "");
  tree.write("dir/2-binary.plist", std::string("\x00\x01\xFE\xFFgarbage", 11));
  const std::string huge = tree.write("dir/3-huge.json", "");
  ASSERT_EQ(truncate(huge.c_str(), Constants::maxInputFileBytes + 1), 0);
  ASSERT_EQ(mkfifo((dir + "/4-fifo.plist").c_str(), 0600), 0);
  tree.mkdir("dir/5-folder.json");
  tree.write("dir/6-good.json", fragmentJSON("good"));
  FragmentInputs::Loaded loaded = inputs({dir}).load(*test::files());
  EXPECT_EQ(ids(loaded), std::vector<std::string>{"good"});
  ASSERT_EQ(loaded.errors.size(), 5u);
  EXPECT_EQ(loaded.errors[2], huge + ": io: cannot read " + huge + ": larger than 64 MiB");
  EXPECT_EQ(loaded.errors[3], dir + "/4-fifo.plist: io: cannot read " + dir + "/4-fifo.plist");
  for (const auto& error : loaded.errors) EXPECT_EQ(error.rfind(dir + "/", 0), 0u) << error;
}

// ---- PassthroughKeys and printJSON -----------------------------------------------------------

TEST(PassthroughKeysTest, NeverHasAKey) {
  ctl::PassthroughKeys keys;
  EXPECT_EQ(tavraErrorDescription(TavraError::Case::crypto,
                                  [&] { keys.sharedSecret("0123456789abcdef", ""); }),
            "crypto: no decryption key for key id 0123456789abcdef");
}

TEST(PrintJSONTest, PrettySortedWithPlainSlashesAndRepairedText) {
  std::ostringstream out;
  ctl::printJSON(out, Value::Object{{"z", "a/b"}, {"a", std::string("bad \xFF")}});
  EXPECT_EQ(out.str(), "{\n  \"a\" : \"bad \xEF\xBF\xBD\",\n  \"z\" : \"a/b\"\n}\n");
}

TEST(PrintJSONTest, NothingIsPrintedWhenEncodingFails) {
  std::ostringstream out;
  EXPECT_ANY_THROW(
      ctl::printJSON(out, Value::Object{{"x", std::numeric_limits<double>::infinity()}}));
  EXPECT_EQ(out.str(), "");
}

}  // namespace
}  // namespace tavra::test
