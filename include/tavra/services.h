// Services: the platform services that the library's work reaches through, built in one place.
//
// Every part of the library that touches the machine is given the service it uses instead of
// making one: files, HTTPS, the process table, the keychain. systemServices() builds this
// machine's set; the daemon and the tool call it once and hand the record on (to
// Environment::system, and to whatever else they build); tests build a record of their own
// (a fault-injecting file system, a fixed process table, ...). A plain record of shared,
// immutable services: copying it shares them, and each may be used from any thread.
#pragma once

#include <memory>

#include "tavra/platform/file_system.h"
#include "tavra/platform/http.h"
#include "tavra/platform/keychain.h"
#include "tavra/platform/process_table.h"

namespace tavra {

struct Services {
  std::shared_ptr<const FileSystem> fileSystem;
  std::shared_ptr<const http::Client> http;
  std::shared_ptr<const platform::ProcessTable> processes;
  std::shared_ptr<const keychain::Keychain> keychain;
};

// This machine's services: the POSIX file system, the libcurl client trusting the system's CA
// store, the /proc process table and the (empty) keychain.
Services systemServices();

}  // namespace tavra
