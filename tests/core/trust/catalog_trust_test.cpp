#include "tavra/catalog_trust.h"

#include <gtest/gtest.h>

#include "tavra/constants.h"

namespace tavra {
namespace {

TEST(CatalogTrustTest, TheCacheTrustsTheBuiltInKeysThenTheSettingsKeysInTheirOrder) {
  TavraSettings settings;
  EXPECT_EQ(catalogKeysForCache(settings), Constants::embeddedCatalogKeys());

  settings.catalogTrustedKeys = {"second", "first", "second"};
  std::vector<std::string> expected = Constants::embeddedCatalogKeys();
  expected.insert(expected.end(), {"second", "first", "second"});
  EXPECT_EQ(catalogKeysForCache(settings), expected);
}

TEST(CatalogTrustTest, AFileNamedToTheToolIsVouchedForByTheBuiltInKeysOnly) {
  EXPECT_EQ(catalogKeysForExplicitFile(), Constants::embeddedCatalogKeys());
  EXPECT_FALSE(catalogKeysForExplicitFile().empty());
}

}  // namespace
}  // namespace tavra
