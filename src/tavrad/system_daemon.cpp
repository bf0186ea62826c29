#include "tavrad/system_daemon.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "tavra/constants.h"
#include "tavra/environment.h"
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

Daemon::Collaborators daemonCollaborators(EventLoop& loop, BackgroundThread& background,
                                          const Services& core) {
  return Daemon::Collaborators{
      .readSettings = [core] { return systemSettings(core); },
      .environment =
          [core](const TavraSettings& settings) { return Environment::system(settings, core); },
      .reconcile =
          [](const Environment& environment, const TavraSettings& settings) {
            return Reconciler(environment, settings).pass(/*includeInventory=*/true);
          },
      .verifiedCatalogInstalled =
          [](const Environment& environment) {
            return environment.catalogStore.cached().has_value();
          },
      .updateCatalog =
          [](const CatalogStore& store, const URL& from,
             const std::optional<std::string>& pinnedVersion) {
            return store.update(from, pinnedVersion);
          },
      .openWatch =
          [&loop](const std::string& canonicalPath, EventLoop::Task task, std::error_code& error) {
            return loop.watch(hostPath(canonicalPath), std::move(task), error);
          },
      .fileStatus = [files = core.fileSystem](
                        const std::string& canonicalPath) -> std::optional<fs::FileStatus> {
        const fs::PathParts parts = fs::splitPath(canonicalPath);
        const fs::Walk directory = files->openDirectory(parts.directory, fs::Links::never);
        if (!directory) return std::nullopt;
        std::error_code error;
        return files->statusAt(directory.directory, parts.name, error);
      },
      .runInBackground =
          [&background](std::function<void()> work) { background.run(std::move(work)); },
      .now = [clock = core.clock] { return clock->now(); },
      .realUserID = [] { return getuid(); },
      .exit =
          [](int status) {
            // Nothing is cleaned up: a refresh may still be running on its thread.
            std::fflush(nullptr);
            std::_Exit(status);
          },
  };
}

SystemDaemon::SystemDaemon()
    : core_(systemServices()),
      // This machine posts no profile notification: the managed-preferences folder's changes
      // stand in for it.
      loop_(makeSystemEventLoop({{std::string(Constants::profileListChangedNotification),
                                  hostPath(Constants::managedPreferencesDirectory)}})) {
  daemon_ =
      Daemon::create(*loop_, core_.daemonLog, daemonCollaborators(*loop_, background_, core_));
}

SystemDaemon::~SystemDaemon() = default;

}  // namespace tavra
