#include "tavra/settings.h"

#include <gtest/gtest.h>

#include "tavra/json.h"

namespace tavra {
namespace {

TavraSettings settingsWith(std::string_view key, Value value) {
  return TavraSettings::fromValue(Value(Value::Object{{std::string(key), std::move(value)}}));
}

TEST(TavraSettingsTest, DefaultsMatchTheConstants) {
  const TavraSettings settings;
  EXPECT_EQ(settings.reapplyInterval, 900.0);
  EXPECT_EQ(settings.reapplyInterval, Constants::defaultReapplyInterval);
  EXPECT_EQ(settings.catalogRefreshInterval, 86400.0);
  EXPECT_EQ(settings.catalogURL.text(), Constants::defaultCatalogURL());
  EXPECT_EQ(settings.catalogURL.scheme(), "https");
  EXPECT_EQ(settings.catalogPinnedVersion, std::nullopt);
  EXPECT_TRUE(settings.catalogTrustedKeys.empty());
  EXPECT_TRUE(settings.additionalAllowedPaths.empty());
  EXPECT_TRUE(settings.disabledHarnesses.empty());
  EXPECT_FALSE(settings.dryRun);
}

TEST(TavraSettingsTest, RootsThatAreNoObjectGiveDefaults) {
  for (const std::optional<Value>& root :
       {std::optional<Value>(), std::optional<Value>(Value::Array{Value(1)}),
        std::optional<Value>(Value("x")), std::optional<Value>(Value::Object{})}) {
    EXPECT_EQ(TavraSettings::fromValue(root), TavraSettings());
  }
}

TEST(TavraSettingsTest, IntervalsAreWholeSecondsWithMinimums) {
  struct Case {
    Value value;
    double reapply;  // expected ReapplyInterval
    double refresh;  // expected CatalogRefreshInterval
  };
  const std::vector<Case> cases = {
      {Value(30), 60, 300},
      {Value(-5), 60, 300},
      {Value(3600), 3600, 3600},
      {Value("600"), 600, 600},
      {Value(120.0), 120, 300},
      {Value(60), 60, 300},
      {Value(120.5), 900, 86400},
      {Value(true), 900, 86400},
      {Value("10m"), 900, 86400},
      {Value(" 60"), 900, 86400},
      {Value(Value::Array{}), 900, 86400},
      {Value(INT64_MAX), 9223372036854775807.0, 9223372036854775807.0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(settingsWith("ReapplyInterval", c.value).reapplyInterval, c.reapply)
        << json::write(c.value);
    EXPECT_EQ(settingsWith("CatalogRefreshInterval", c.value).catalogRefreshInterval, c.refresh)
        << json::write(c.value);
  }
}

TEST(TavraSettingsTest, CatalogURLMustBeHttpsOrFile) {
  const std::string fallback = Constants::defaultCatalogURL();
  const std::vector<std::pair<Value, std::string>> cases = {
      {Value("https://mirror.example.com/c/catalog.json"),
       "https://mirror.example.com/c/catalog.json"},
      {Value("file:///Users/Shared/catalog.json"), "file:///Users/Shared/catalog.json"},
      {Value("FILE:///Users/Shared/catalog.json"), "FILE:///Users/Shared/catalog.json"},
      {Value("http://mirror.example.com/catalog.json"), fallback},
      {Value("ftp://mirror.example.com/catalog.json"), fallback},
      {Value("HTTPS://mirror.example.com/catalog.json"), fallback},  // the scheme is exact text
      {Value("/Users/Shared/catalog.json"), fallback},
      {Value("catalog.json"), fallback},
      {Value("https://bad host/catalog.json"), fallback},
      {Value(""), fallback},
      {Value(5), fallback},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(settingsWith("CatalogURL", value).catalogURL.text(), expected) << json::write(value);
  }
}

TEST(TavraSettingsTest, PinnedVersionIsTextAsWritten) {
  EXPECT_EQ(settingsWith("CatalogPinnedVersion", Value(2)).catalogPinnedVersion, std::nullopt);
  EXPECT_EQ(settingsWith("CatalogPinnedVersion", Value(" 2.0")).catalogPinnedVersion, " 2.0");
  EXPECT_EQ(settingsWith("CatalogPinnedVersion", Value("")).catalogPinnedVersion, "");
}

TEST(TavraSettingsTest, ListsKeepTheirStringElements) {
  const Value mixed = Value::Array{Value("k1"), Value(3), Value("k2"), Value("k1")};
  EXPECT_EQ(settingsWith("CatalogTrustedKeys", mixed).catalogTrustedKeys,
            (std::vector<std::string>{"k1", "k2", "k1"}));
  EXPECT_EQ(settingsWith("AdditionalAllowedPaths", mixed).additionalAllowedPaths,
            (std::vector<std::string>{"k1", "k2", "k1"}));
  EXPECT_EQ(settingsWith("DisabledHarnesses", mixed).disabledHarnesses,
            (std::set<std::string, std::less<>>{"k1", "k2"}));
  for (const char* key : {"CatalogTrustedKeys", "AdditionalAllowedPaths", "DisabledHarnesses"}) {
    EXPECT_EQ(settingsWith(key, Value("k1")), TavraSettings()) << key;
  }
}

TEST(TavraSettingsTest, DryRunReadsTheBooleanView) {
  const std::vector<std::pair<Value, bool>> cases = {
      {Value(true), true},   {Value("yes"), true}, {Value(1), true},     {Value("maybe"), false},
      {Value(false), false}, {Value(1.0), false},  {Value("NO"), false},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(settingsWith("DryRun", value).dryRun, expected) << json::write(value);
  }
}

TEST(TavraSettingsTest, KeysAreCaseSensitiveAndIndependent) {
  const TavraSettings settings = TavraSettings::fromValue(Value(Value::Object{
      {"reapplyinterval", Value(120)},
      {"ReapplyInterval", Value("bad")},
      {"CatalogRefreshInterval", Value(600)},
      {"DryRun", Value("true")},
      {"DisabledHarnesses", Value(Value::Array{Value("codex")})},
  }));
  TavraSettings expected;
  expected.catalogRefreshInterval = 600;
  expected.dryRun = true;
  expected.disabledHarnesses = {"codex"};
  EXPECT_EQ(settings, expected);
}

}  // namespace
}  // namespace tavra
