// A pass's Environment over a scratch folder, for tests that run whole passes.
//
// The managed preferences are read from <folder>/prefs (any owner), the support directory is
// <folder>/support with its catalog cache in support/catalog; no root ownership, no inventory, no
// flush. The options name what the tests vary inside the record's parts; anything else is a plain
// field of the record returned, set after it is built (a flush, a discovery, a log).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tavra/environment.h"

namespace tavra::test {

struct ScratchEnvironmentOptions {
  std::string folder;
  // The catalog cache's folder; empty: <folder>/support/catalog.
  std::string catalogDirectory;
  // The catalog key the store trusts, in base64; empty: none.
  std::string trustedKey;
  std::vector<std::string> builtInPathPrefixes;
  // Null: no decryption keys.
  std::shared_ptr<const DecryptionKeyProvider> keys;
  // The pass's services; absent: services().
  std::optional<Services> services;
  // What the preferences, the catalog store and the services reach files through; null: the
  // services' own.
  std::shared_ptr<const FileSystem> fileSystem;
};

Environment scratchEnvironment(const ScratchEnvironmentOptions& options);

}  // namespace tavra::test
