// Context: everything a command's run reaches outside its own options.
//
// The streams it prints to and reads from, the library's services (files above all), and each
// way it touches the machine: the clock and the formatting of dates for people, the real user
// id, the process table and signals, discovery; and what belongs to the daemon: its status file,
// its settings, the installed catalog, its catalog cache, its decryption keys and an in-process
// pass with the system environment. systemContext() (services.h) fills every member with this
// machine's; tests give fakes, each member by name. A Context is made once per invocation and
// used by one thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "tavra/catalog.h"
#include "tavra/catalog_store.h"
#include "tavra/discovery.h"
#include "tavra/iso8601.h"
#include "tavra/services.h"
#include "tavra/settings.h"
#include "tavra/status_report.h"

namespace tavra::ctl {

struct Context {
  std::ostream& out;
  std::istream& in;

  // The library's services for what the command builds itself: the files it reads and writes
  // go through services.fileSystem.
  Services services;

  std::function<Date()> now;
  // A date in the medium date and medium time style of the current locale and time zone.
  std::function<std::string(Date)> formatDate;
  std::function<uid_t()> realUserID;
  std::function<std::vector<Discovery::RunningProcess>()> processTable;
  // Sends `signal` to `pid`; the result is not looked at.
  std::function<void(std::int32_t pid, int signal)> sendSignal;
  // A discovery of this computer's users, applications and processes.
  std::function<Discovery()> makeDiscovery;

  // Where the daemon writes its status report.
  std::string statusPath;
  // The daemon's settings, read as the daemon reads them.
  std::function<TavraSettings()> settings;
  // The verified installed catalog, no value when none is installed; the store's errors are
  // thrown.
  std::function<std::optional<Catalog>()> installedCatalog;
  // The daemon's catalog cache: a store on its catalog folder that trusts exactly
  // `trustedKeysBase64` and downloads as the daemon does.
  std::function<CatalogStore(const std::vector<std::string>& trustedKeysBase64)> catalogCache;
  // The key ids of the decryption keys the daemon's key provider can use, as this process sees
  // them.
  std::function<std::vector<std::string>()> availableKeyIDs;
  // One whole pass with the system environment and settings, inventory included.
  std::function<StatusReport()> localPass;
};

}  // namespace tavra::ctl
