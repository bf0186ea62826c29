#include "passthrough_keys.h"

#include "tavra/error.h"

namespace tavra::ctl {

std::string PassthroughKeys::sharedSecret(const std::string& keyID, std::string_view) const {
  throw TavraError::crypto("no decryption key for key id " + keyID);
}

}  // namespace tavra::ctl
