#include "tavra/platform/host_path.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "tavra/path_policy.h"

namespace tavra {
namespace {

TEST(HostPathTest, PrivateRootsMapToThisMachinesDirectories) {
  const std::pair<std::string, std::string> cases[] = {
      {"/private/etc", "/etc"},
      {"/private/etc/codex/requirements.toml", "/etc/codex/requirements.toml"},
      {"/private/tmp/sim/", "/tmp/sim/"},
      {"/private/var/db", "/var/db"},
      // Everything else stays as it is.
      {"/private/etcetera", "/private/etcetera"},
      {"/private/Library", "/private/Library"},
      {"/private", "/private"},
      {"/etc/hosts", "/etc/hosts"},
      {"/Library/Application Support/Tavra", "/Library/Application Support/Tavra"},
      {"relative/private/etc", "relative/private/etc"},
      {"", ""},
  };
  for (const auto& [canonical, host] : cases) EXPECT_EQ(hostPath(canonical), host) << canonical;
}

TEST(HostPathTest, UndoesTheCanonicalForm) {
  for (const char* path : {"/etc", "/tmp/x/y", "/var/folders", "/Users/a/b", "/"}) {
    EXPECT_EQ(hostPath(PathPolicy::canonical(path)), path);
  }
}

}  // namespace
}  // namespace tavra
