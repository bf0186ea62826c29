#include "tavra/platform/keychain.h"

namespace tavra::keychain {

// This machine has no keychain service: there are never any identities.
std::vector<std::shared_ptr<const Identity>> NoKeychain::ecIdentities() const {
  return {};
}

}  // namespace tavra::keychain
