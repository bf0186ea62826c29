#include "key_option.h"

#include <vector>

#include "input_file.h"
#include "passthrough_keys.h"
#include "tavra/platform/crypto.h"

namespace tavra::ctl {

std::unique_ptr<const DecryptionKeyProvider> keyProvider(
    const FileSystem& files, const std::optional<std::string>& keyFile) {
  if (!keyFile) return std::make_unique<const PassthroughKeys>();
  return std::make_unique<const InMemoryKeyProvider>(std::vector<crypto::P256PrivateKey>{
      crypto::P256PrivateKey::fromPEM(readInputFile(files, *keyFile))});
}

}  // namespace tavra::ctl
