#include "tavra/platform/process_table.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

namespace tavra::platform {
namespace {

TEST(ProcessTableTest, ListsThisProcessWithItsExecutableAndRealUser) {
  auto table = listProcesses();
  ASSERT_FALSE(table.empty());
  auto self = std::find_if(table.begin(), table.end(), [](const ProcessInfo& p) {
    return p.pid == static_cast<std::int32_t>(getpid());
  });
  ASSERT_NE(self, table.end());
  EXPECT_EQ(self->path, std::filesystem::canonical("/proc/self/exe").string());
  EXPECT_EQ(self->uid, static_cast<std::uint32_t>(getuid()));
  for (const auto& process : table) {
    EXPECT_GT(process.pid, 0);
    EXPECT_FALSE(process.path.empty());
  }
  EXPECT_LE(table.size(), maxProcesses);
}

TEST(ProcessTableTest, AccountNames) {
  EXPECT_EQ(accountName(0), "root");
  EXPECT_EQ(accountName(4'000'000'000u), std::nullopt);
}

}  // namespace
}  // namespace tavra::platform
