#include "tavra/services.h"

#include <string>

#include "tavra/constants.h"

namespace tavra {

Services systemServices() {
  const std::string subsystem(Constants::logSubsystem);
  return Services{
      std::make_shared<PosixFileSystem>(),      std::make_shared<SystemClock>(),
      systemLogger(subsystem, "reconcile"),     systemLogger(subsystem, "daemon"),
      std::make_shared<http::ModuleClient>(),   std::make_shared<platform::SystemProcessTable>(),
      std::make_shared<keychain::NoKeychain>(), std::make_shared<platform::SystemProgramLauncher>(),
  };
}

}  // namespace tavra
