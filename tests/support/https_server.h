// A real HTTPS server on loopback for tests of the download path: python3's http.server wrapped
// in TLS, with a CA and a server certificate for 127.0.0.1 made at test time by the openssl
// command. It listens on an ephemeral port of 127.0.0.1 and is killed when the object goes away
// (and exits by itself after five minutes should the test process die first).
//
// Paths it answers:
//   /status/<code>[...]     that status with a short body
//   /bytes/<n>[...]         200 with n bytes of "a"; /bytes/<n>/unsized without a Content-Length
//   /slow/<seconds>[...]    200 after that many seconds
//   /agent                  200 with the request's User-Agent as the body
//   /redirect/https/<path>  302 to https://127.0.0.1:<port>/<path>
//   /redirect/http/<path>   302 to http://127.0.0.1:<port>/<path>
//   /files/<path>           the file <root>/<path>, 404 when missing
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "support/child_process.h"
#include "support/temp_tree.h"
#include "tavra/platform/http.h"

namespace tavra::test {

// The HTTP module of this build (tavra-http.so beside the programs).
inline const std::string httpModulePath = TAVRA_HTTP_MODULE;

// Runs `call`, expects it to throw http::TransportError and gives its text; records a test
// failure and gives the empty text when nothing of that kind is thrown.
std::string transportErrorText(const std::function<void()>& call);

class HTTPSServer {
 public:
  // Whether python3 and openssl are available to run one.
  static bool available();

  // Serves /files/ from `root`; keys and certificates go into `scratch`. Throws
  // std::runtime_error when it cannot start.
  HTTPSServer(const TempTree& scratch, std::string root);

  // "https://127.0.0.1:<port>" + path.
  std::string url(const std::string& path) const;
  // The PEM file of the CA that signed the server's certificate.
  const std::string& caFile() const noexcept { return caFile_; }
  // A client that loads this build's HTTP module and trusts that CA.
  std::shared_ptr<const http::Client> client() const;

 private:
  std::string caFile_;
  int port_ = 0;
  std::unique_ptr<BackgroundProcess> process_;
};

}  // namespace tavra::test
