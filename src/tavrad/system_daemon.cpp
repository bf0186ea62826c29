#include "tavrad/system_daemon.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "tavra/constants.h"
#include "tavra/managed_preferences.h"
#include "tavra/platform/host_path.h"
#include "tavra/reconciler.h"

namespace tavra {

BackgroundThread::~BackgroundThread() {
  if (thread_.joinable()) thread_.join();
}

void BackgroundThread::run(std::function<void()> work) {
  if (thread_.joinable()) thread_.join();
  thread_ = std::thread(std::move(work));
}

Daemon::Services daemonServices(EventLoop& loop, BackgroundThread& background,
                                const Services& core) {
  Daemon::Services services;
  services.readSettings = [files = core.fileSystem] {
    return ManagedPreferences(std::string(Constants::managedPreferencesDirectory), true, files)
        .settings();
  };
  services.environment = [core](const TavraSettings& settings) {
    return Environment::system(settings, core);
  };
  services.reconcile = [](const Environment& environment, const TavraSettings& settings) {
    return Reconciler(environment, settings).pass(/*includeInventory=*/true);
  };
  services.verifiedCatalogInstalled = [](const Environment& environment) {
    return environment.catalogStore.cached().has_value();
  };
  services.updateCatalog = [](const CatalogStore& store, const URL& from,
                              const std::optional<std::string>& pinnedVersion) {
    return store.update(from, pinnedVersion);
  };
  services.openWatch = [&loop](const std::string& canonicalPath, EventLoop::Task task,
                               std::error_code& error) {
    return loop.watch(hostPath(canonicalPath), std::move(task), error);
  };
  services.fileStatus =
      [files = core.fileSystem](const std::string& canonicalPath) -> std::optional<fs::FileStatus> {
    const fs::PathParts parts = fs::splitPath(canonicalPath);
    const fs::Walk directory = files->openDirectory(parts.directory, fs::Links::never);
    if (!directory) return std::nullopt;
    std::error_code error;
    return files->statusAt(directory.directory, parts.name, error);
  };
  services.runInBackground = [&background](std::function<void()> work) {
    background.run(std::move(work));
  };
  services.now = [clock = core.clock] { return clock->now(); };
  services.realUserID = [] { return getuid(); };
  services.exit = [](int status) {
    // Nothing is cleaned up: a refresh may still be running on its thread.
    std::fflush(nullptr);
    std::_Exit(status);
  };
  return services;
}

SystemDaemon::SystemDaemon()
    : core_(systemServices()),
      // This machine posts no profile notification: the managed-preferences folder's changes
      // stand in for it.
      loop_(makeSystemEventLoop({{std::string(Constants::profileListChangedNotification),
                                  hostPath(Constants::managedPreferencesDirectory)}})) {
  daemon_ = Daemon::create(*loop_, core_.daemonLog, daemonServices(*loop_, background_, core_));
}

SystemDaemon::~SystemDaemon() = default;

}  // namespace tavra
