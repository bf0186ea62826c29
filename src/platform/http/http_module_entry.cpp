// The HTTP module's one exported symbol: the entry record through which ModuleClient makes
// libcurl clients.
#include <curl/curl.h>

#include "http_curl.h"
#include "http_module.h"

namespace tavra::http {
namespace {

std::unique_ptr<Client> newClient(const std::optional<std::string>& caFile) {
  // Once per process, whichever thread comes first (the module is never unloaded, so neither is
  // libcurl's global state).
  static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (initialised != CURLE_OK) {
    throw TransportError(std::string("cannot set up libcurl: ") + curl_easy_strerror(initialised));
  }
  return std::make_unique<CurlClient>(caFile);
}

constexpr ModuleEntry entry{moduleIdentity, &newClient};

}  // namespace
}  // namespace tavra::http

extern "C" __attribute__((visibility("default"))) const tavra::http::ModuleEntry*
tavra_http_module() {
  return &tavra::http::entry;
}
