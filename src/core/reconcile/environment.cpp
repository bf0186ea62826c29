#include "tavra/environment.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

#include "tavra/constants.h"
#include "tavra/path_policy.h"

extern char** environ;

namespace tavra {

void flushPreferencesCacheWithKillall() noexcept {
  char program[] = "/usr/bin/killall";
  char argument[] = "cfprefsd";
  char* argv[] = {program, argument, nullptr};
  pid_t child = 0;
  if (posix_spawn(&child, program, nullptr, nullptr, argv, environ) != 0) return;
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

Environment Environment::system(const TavraSettings& settings, const Services& services) {
  std::vector<std::string> trusted = Constants::embeddedCatalogKeys();
  trusted.insert(trusted.end(), settings.catalogTrustedKeys.begin(),
                 settings.catalogTrustedKeys.end());
  auto keys = std::make_shared<const SystemKeyProvider>(std::string(Constants::keyDirectory),
                                                        /*requireRootOwnedFiles=*/true,
                                                        services.fileSystem, services.keychain);
  return Environment{
      ManagedPreferences(std::string(Constants::managedPreferencesDirectory), true,
                         services.fileSystem),
      CatalogStore(std::string(Constants::catalogDirectory), trusted, services.fileSystem,
                   {.client = services.http}),
      std::string(Constants::supportDirectory),
      std::move(keys),
      PathPolicy::builtInPrefixes(),
      true,
      Discovery(services.fileSystem, services.processes),
      &flushPreferencesCacheWithKillall,
      services,
  };
}

}  // namespace tavra
