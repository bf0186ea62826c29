#include <gtest/gtest.h>

#include "support/applier_tree.h"
#include "support/python.h"
#include "tavra/file_applier.h"

namespace tavra {
namespace {

using Action = FileApplier::Action;
using DecodingError = FileApplier::DecodingError;

Date at(int hour, int minute = 0) {
  return std::chrono::sys_days{std::chrono::year{2026} / 3 / 1} + std::chrono::hours{hour} +
         std::chrono::minutes{minute};
}

FileApplier::State sampleState() {
  FileApplier::State state;
  state.entries["/opt/a/x.json"] = {
      "h", "o", std::string(64, 'a'), "/s/backups/b.bak", "/s/applied/c", at(9), at(10, 30), 2};
  state.entries["/opt/b"] = {"g",   "p", std::string(64, 'b'), std::nullopt, "/s/applied/d", at(9),
                             at(9), 0};
  state.createdDirectories = std::vector<std::string>{"/opt/a"};
  return state;
}

TEST(FileApplierStateTest, ActionRawValues) {
  const std::pair<Action, const char*> cases[] = {
      {Action::unchanged, "unchanged"},
      {Action::created, "created"},
      {Action::updated, "updated"},
      {Action::driftCorrected, "driftCorrected"},
      {Action::restoredBackup, "restoredBackup"},
      {Action::removed, "removed"},
      {Action::wouldWrite, "wouldWrite"},
      {Action::wouldRemove, "wouldRemove"},
  };
  for (const auto& [action, raw] : cases) {
    EXPECT_EQ(rawValue(action), raw);
    EXPECT_EQ(fromRawValue<Action>(raw), action);
  }
  for (const char* other : {"", "Unchanged", "drift", "removed ", "deleted"}) {
    EXPECT_FALSE(fromRawValue<Action>(other)) << other;
  }
}

TEST(FileApplierStateTest, EncodesTheStateFileExactly) {
  const std::string expected = R"({
  "createdDirectories" : [
    "\/opt\/a"
  ],
  "entries" : {
    "\/opt\/a\/x.json" : {
      "appliedCopyPath" : "\/s\/applied\/c",
      "backupPath" : "\/s\/backups\/b.bak",
      "driftCorrections" : 2,
      "harnessID" : "h",
      "lastWritten" : "2026-03-01T10:30:00Z",
      "managedSince" : "2026-03-01T09:00:00Z",
      "outputID" : "o",
      "sha256" : ")" + std::string(64, 'a') +
                               R"("
    },
    "\/opt\/b" : {
      "appliedCopyPath" : "\/s\/applied\/d",
      "driftCorrections" : 0,
      "harnessID" : "g",
      "lastWritten" : "2026-03-01T09:00:00Z",
      "managedSince" : "2026-03-01T09:00:00Z",
      "outputID" : "p",
      "sha256" : ")" + std::string(64, 'b') +
                               R"("
    }
  }
})";
  EXPECT_EQ(FileApplier::encoder(sampleState().encode()), expected);
  EXPECT_EQ(FileApplier::encoder(FileApplier::State().encode()), "{\n  \"entries\" : {}\n}");
}

TEST(FileApplierStateTest, RoundTripsThroughTheSharedCodec) {
  const auto state = sampleState();
  const auto bytes = FileApplier::encoder(state.encode());
  EXPECT_EQ(FileApplier::State::decode(FileApplier::decoder(bytes)), state);
  EXPECT_EQ(FileApplier::State::decode(
                FileApplier::decoder(FileApplier::encoder(FileApplier::State().encode()))),
            FileApplier::State());
}

TEST(FileApplierStateTest, ChangeForm) {
  const FileApplier::Change change{"/opt/x", "h", Action::driftCorrected};
  EXPECT_EQ(FileApplier::encoder(change.encode()),
            "{\n  \"action\" : \"driftCorrected\",\n  \"harnessID\" : \"h\",\n  \"path\" : "
            "\"\\/opt\\/x\"\n}");
  EXPECT_EQ(FileApplier::Change::decode(change.encode()), change);
  EXPECT_THROW(FileApplier::Change::decode(
                   FileApplier::decoder(R"({"action":"deleted","harnessID":"h","path":"/x"})")),
               DecodingError);
}

// Documents the decoder must refuse as a whole; each replaces one part of a valid state.
TEST(FileApplierStateTest, DecoderRefusesMissingKeysWrongTypesAndOtherDates) {
  const std::string entryHead =
      R"({"entries":{"/x":{"appliedCopyPath":"/c","harnessID":"h","outputID":"o",)"
      R"("sha256":"s",)";
  const std::string goodDates =
      R"("managedSince":"2026-03-01T09:00:00Z","lastWritten":"2026-03-01T09:00:00Z")";
  const std::pair<const char*, std::string> cases[] = {
      {"no driftCorrections", entryHead + goodDates + "}}}"},
      {"fractional seconds", entryHead + R"("driftCorrections":0,)" +
                                 R"("managedSince":"2026-03-01T09:00:00.5Z",)" +
                                 R"("lastWritten":"2026-03-01T09:00:00Z"}}})"},
      {"zone offset", entryHead + R"("driftCorrections":0,)" +
                          R"("managedSince":"2026-03-01T09:00:00+00:00",)" +
                          R"("lastWritten":"2026-03-01T09:00:00Z"}}})"},
      {"date as a number", entryHead + R"("driftCorrections":0,"managedSince":1,)" +
                               R"("lastWritten":"2026-03-01T09:00:00Z"}}})"},
      {"real counter", entryHead + R"("driftCorrections":1.0,)" + goodDates + "}}}"},
      {"text counter", entryHead + R"("driftCorrections":"1",)" + goodDates + "}}}"},
      {"backupPath as a number",
       entryHead + R"("driftCorrections":0,"backupPath":7,)" + goodDates + "}}}"},
      {"null value", entryHead + R"("driftCorrections":0,"backupPath":null,)" + goodDates + "}}}"},
      {"entries not an object", R"({"entries":[]})"},
      {"no entries", R"({"createdDirectories":[]})"},
      {"created directory not text", R"({"entries":{},"createdDirectories":["/a",1]})"},
      {"entry not an object", R"({"entries":{"/x":"y"}})"},
      {"top-level array", "[]"},
      {"malformed", R"({"entries":{})"},
      {"empty", ""},
  };
  for (const auto& [name, document] : cases) {
    SCOPED_TRACE(name);
    EXPECT_THROW(FileApplier::State::decode(FileApplier::decoder(document)), DecodingError);
    test::ApplierTree t;
    t.tree.write("support/state.json", document);
    EXPECT_EQ(t.applier().loadState(), FileApplier::State());
    EXPECT_EQ(test::readFile(t.support + "/state.json"), document);  // left untouched
  }
}

TEST(FileApplierStateTest, DecoderIgnoresUnknownKeys) {
  const auto state = FileApplier::State::decode(FileApplier::decoder(
      R"({"future":1,"entries":{"/x":{"appliedCopyPath":"/c","harnessID":"h","outputID":"o",)"
      R"("sha256":"s","driftCorrections":-1,"mode":420,)"
      R"("managedSince":"2026-03-01T09:00:00Z","lastWritten":"2026-03-01T10:30:00Z"}}})"));
  ASSERT_EQ(state.entries.size(), 1u);
  const auto& entry = state.entries.at("/x");
  EXPECT_EQ(entry.driftCorrections, -1);
  EXPECT_EQ(entry.lastWritten, at(10, 30));
  EXPECT_FALSE(entry.backupPath);
  EXPECT_FALSE(state.createdDirectories);
}

TEST(FileApplierStateTest, DecoderFieldReadersNameTheKey) {
  const Value record = FileApplier::decoder(R"({"a":"x","n":3,"b":true,"m":{"k":"v"}})");
  const auto& object = FileApplier::Decoder::object(record, "test");
  EXPECT_EQ(FileApplier::Decoder::string(object, "a"), "x");
  EXPECT_EQ(FileApplier::Decoder::integer(object, "n"), 3);
  EXPECT_TRUE(FileApplier::Decoder::boolean(object, "b"));
  EXPECT_EQ(FileApplier::Decoder::stringMap(object, "m"),
            (std::map<std::string, std::string>{{"k", "v"}}));
  EXPECT_FALSE(FileApplier::Decoder::optionalString(object, "zz"));
  EXPECT_FALSE(FileApplier::Decoder::optionalArray(object, "zz"));
  try {
    FileApplier::Decoder::string(object, "missing");
    FAIL();
  } catch (const DecodingError& error) {
    EXPECT_STREQ(error.what(), "missing key \"missing\"");
  }
  EXPECT_THROW(FileApplier::Decoder::optionalString(object, "n"), DecodingError);
  EXPECT_THROW(FileApplier::Decoder::boolean(object, "n"), DecodingError);
  EXPECT_EQ(FileApplier::Decoder::date(Value("2026-03-01T09:00:00Z"), "d"), at(9));
}

// A state file written before entries were kept under one spelling per file: each entry comes
// under its file's key, and of two for one file the one that took the file over first (whose
// backup can hold the user's own file) stays.
TEST(FileApplierStateTest, EntriesLoadUnderTheirFilesKeys) {
  test::ApplierTree t;
  const std::string file = t.allowed + "/x.json";
  FileApplier::State state;
  state.entries[t.allowed + "//x.json"] = {
      "h", "o", std::string(64, 'a'), "/s/backups/first.bak", "/s/applied/c", at(9), at(9), 0};
  state.entries[file] = {
      "h", "o", std::string(64, 'a'), "/s/backups/second.bak", "/s/applied/d", at(10), at(10), 0};
  state.entries[t.allowed + "/y.json/"] = {
      "h", "o", std::string(64, 'b'), std::nullopt, "/s/applied/e", at(9), at(9), 0};
  t.applier().saveState(state);

  const auto loaded = t.applier().loadState();
  ASSERT_EQ(loaded.entries.size(), 2u);
  EXPECT_EQ(loaded.entries.at(file).backupPath, "/s/backups/first.bak");
  EXPECT_EQ(loaded.entries.at(t.allowed + "/y.json").appliedCopyPath, "/s/applied/e");
}

TEST(FileApplierStateTest, SavedStateIsPlainJSONForOtherTools) {
  if (!test::pythonHas({"json"})) GTEST_SKIP() << "python3 is not available";
  test::ApplierTree t;
  t.applier().saveState(sampleState());
  const auto result = test::runPython(R"(
import json, sys
raw = open(sys.argv[1], encoding="utf-8").read()
doc = json.loads(raw)
assert "\\/" in raw and "/" not in raw.replace("\\/", ""), "solidus not escaped"
def sorted_keys(value):
    if isinstance(value, dict):
        assert list(value) == sorted(value), list(value)
        for item in value.values(): sorted_keys(item)
sorted_keys(doc)
entry = doc["entries"]["/opt/a/x.json"]
assert entry["driftCorrections"] == 2 and entry["lastWritten"] == "2026-03-01T10:30:00Z"
assert "backupPath" not in doc["entries"]["/opt/b"]
print("ok")
)",
                                      {t.support + "/state.json"});
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(test::modeOf(t.support + "/state.json"), 0600u);
}

}  // namespace
}  // namespace tavra
