// Services: the platform services that the library's work reaches through, built in one place.
//
// Every part of the library that touches the machine is given the service it uses instead of
// making one: files, the clock, the log, HTTPS, the process table, the programs it starts, the
// keychain.
// systemServices() builds this machine's set; the daemon and the tool call it once and hand the
// record on (to Environment::system, and to whatever else they build); tests build a record of
// their own (a fault-injecting file system, a fixed clock, a log in memory, ...). A plain record
// of shared services: copying it shares them, and each may be used from any thread. None of them
// may be null where it is used, except `http` (no https downloads) and `keychain` (no keychain
// identities).
#pragma once

#include <memory>

#include "tavra/platform/clock.h"
#include "tavra/platform/file_system.h"
#include "tavra/platform/http.h"
#include "tavra/platform/keychain.h"
#include "tavra/platform/logger.h"
#include "tavra/platform/process_table.h"
#include "tavra/platform/program_launcher.h"

namespace tavra {

struct Services {
  std::shared_ptr<const FileSystem> fileSystem;
  std::shared_ptr<const Clock> clock;
  // The log of the reconcile pass (category "reconcile") and of the daemon (category "daemon").
  std::shared_ptr<Logger> reconcileLog;
  std::shared_ptr<Logger> daemonLog;
  std::shared_ptr<const http::Client> http;
  std::shared_ptr<const platform::ProcessTable> processes;
  std::shared_ptr<const platform::ProgramLauncher> programs;
  std::shared_ptr<const keychain::Keychain> keychain;
};

// This machine's services: the POSIX file system, the real-time clock, the system log of
// subsystem "com.zelkorandin.tavra" (categories "reconcile" and "daemon"), the HTTP client that
// loads the libcurl module on the first download (trusting the system's CA store), the /proc
// process table, posix_spawn and the (empty) keychain.
Services systemServices();

}  // namespace tavra
