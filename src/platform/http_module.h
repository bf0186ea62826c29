// The one entry point of the HTTP module (tavra-http.so), shared by the module and the
// ModuleClient that loads it.
//
// The module exports exactly one symbol, `tavra_http_module`, a function giving the module's
// entry record. The record's first member is the build identity, a text the loader compares
// before it touches anything else, so that a module of another build (another interface version
// or another Tavra version, whose types may differ) is refused with a clear message instead of
// being called. The identity's form never changes; the rest of the record may, as long as
// interfaceVersion is raised with it.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "tavra/platform/http.h"

namespace tavra::http {

// "tavra-http <interface version> (Tavra <version>)"; the interface version (1) is raised
// whenever ModuleEntry, Client, Request, Response or the errors of http.h change.
inline constexpr const char* moduleIdentity = "tavra-http 1 (Tavra " TAVRA_VERSION ")";

struct ModuleEntry {
  const char* identity;  // always the first member
  // A new libcurl client trusting `caFile` (a PEM file) instead of the system's CA store when
  // given. Throws TransportError when libcurl cannot be set up.
  std::unique_ptr<Client> (*newClient)(const std::optional<std::string>& caFile);
};

// The exported function: extern "C" const ModuleEntry* tavra_http_module(), defined by the
// module only.
inline constexpr const char* moduleEntrySymbol = "tavra_http_module";
using ModuleFunction = const ModuleEntry* (*)();

}  // namespace tavra::http
