#include "tavra/services.h"

#include <string>

#include "tavra/constants.h"

namespace tavra {

Services systemServices() {
  const std::string subsystem(Constants::logSubsystem);
  return Services{
      .fileSystem = std::make_shared<PosixFileSystem>(),
      .clock = std::make_shared<SystemClock>(),
      .reconcileLog = systemLogger(subsystem, "reconcile"),
      .daemonLog = systemLogger(subsystem, "daemon"),
      .http = std::make_shared<http::ModuleClient>(),
      .processes = std::make_shared<platform::SystemProcessTable>(),
      .programs = std::make_shared<platform::SystemProgramLauncher>(),
      .keychain = std::make_shared<keychain::NoKeychain>(),
  };
}

}  // namespace tavra
