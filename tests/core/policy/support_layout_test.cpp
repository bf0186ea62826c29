#include "tavra/support_layout.h"

#include <gtest/gtest.h>

#include <string>

namespace tavra {
namespace {

TEST(SupportLayoutTest, EachFileIsNamedDirectlyBelowTheSupportDirectory) {
  const std::string support = "/tmp/sim/Library/Application Support/Tavra";
  EXPECT_EQ(supportLayout::catalogDirectory(support), support + "/catalog");
  EXPECT_EQ(supportLayout::stateFile(support), support + "/state.json");
  EXPECT_EQ(supportLayout::statusFile(support), support + "/status.json");
  EXPECT_EQ(supportLayout::appliedDirectory(support), support + "/applied");
  EXPECT_EQ(supportLayout::backupDirectory(support), support + "/backups");
}

TEST(SupportLayoutTest, TheMachinesSupportDirectoryGivesTheMachinesPaths) {
  const std::string_view support = Constants::supportDirectory;
  EXPECT_EQ(supportLayout::catalogDirectory(support), Constants::catalogDirectory);
  EXPECT_EQ(supportLayout::stateFile(support), Constants::stateFile);
  EXPECT_EQ(supportLayout::statusFile(support), Constants::statusFile);
  EXPECT_EQ(supportLayout::backupDirectory(support), Constants::backupDirectory);
  EXPECT_EQ(supportLayout::below(support, supportLayout::keysName), Constants::keyDirectory);
}

}  // namespace
}  // namespace tavra
