#include "tavra/services.h"

namespace tavra {

Services systemServices() {
  return Services{
      std::make_shared<PosixFileSystem>(),
      std::make_shared<http::CurlClient>(),
      std::make_shared<platform::SystemProcessTable>(),
      std::make_shared<keychain::NoKeychain>(),
  };
}

}  // namespace tavra
