// A small HTTP client: one GET at a time per call, the whole answer returned to the caller.
//
// Client is the interface the catalog download uses; ModuleClient is this machine's
// implementation. It holds none of the HTTP code itself: that is a libcurl client in a module of
// its own, tavra-http.so, which ModuleClient loads on its first get(), so that the programs do not
// load libcurl and the thirty libraries it brings at every start, only when a download runs. The
// module's client verifies TLS against the system's CA store (or a CA file given in the options,
// for tests), follows redirects only to https (at most 10), takes no setting from the
// environment (the proxy variables are turned off), keeps no cache, and enforces the body cap
// while receiving, so an oversized answer is cut off rather than buffered. A Client is immutable
// and get() may be called from several threads at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace tavra::http {

// A transport failure: no connection, DNS, TLS, timeout, a refused redirect, ...; the text is the
// transport's own.
class TransportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The request was abandoned through its stop token.
class Cancelled : public std::runtime_error {
 public:
  Cancelled() : std::runtime_error("request cancelled") {}
};

struct Request {
  std::string url;
  std::chrono::milliseconds timeout{30'000};  // for the whole exchange
  std::string userAgent;
  // Receiving stops once the body would exceed this many bytes; the response is then marked.
  std::size_t maxBodyBytes = SIZE_MAX;
};

struct Response {
  long status = -1;  // the HTTP status; -1 when the answer was not HTTP
  std::string body;  // at most maxBodyBytes bytes
  bool bodyExceededLimit = false;
};

class Client {
 public:
  virtual ~Client() = default;
  // Throws TransportError, or Cancelled when `cancel` is requested while the request runs.
  virtual Response get(const Request& request, std::stop_token cancel = {}) const = 0;
};

// Loads the HTTP module on the first get() and hands every request to the client it makes. The
// module is looked for as `moduleFileName` beside the running program (the folder of
// /proc/self/exe), then in the lib/tavra folder beside that folder (a program in /opt/tavra/bin
// finds /opt/tavra/lib/tavra/tavra-http.so); Options::modulePath names it instead. A module that
// is missing, cannot be loaded, is of another build, is owned by another user than root or this
// process's, or may be written by others (by its group too, in a process of root), makes that
// get() throw TransportError with a text that says so; nothing is remembered of the failure, so
// the next get() tries again. Once loaded, the
// module stays loaded for the life of the process: libcurl may leave a thread of its own running
// after a request that was cancelled, so the code may never go away under it. Loading is done
// once even when the first requests come from several threads at once.
class ModuleClient final : public Client {
 public:
  static constexpr std::string_view moduleFileName = "tavra-http.so";

  struct Options {
    // A PEM file of CA certificates to trust instead of the system's store (tests only).
    std::optional<std::string> caFile;
    // The module to load instead of the one beside the program.
    std::optional<std::string> modulePath;
  };
  ModuleClient();
  explicit ModuleClient(Options options);
  ~ModuleClient() override;
  ModuleClient(const ModuleClient&) = delete;
  ModuleClient& operator=(const ModuleClient&) = delete;

  Response get(const Request& request, std::stop_token cancel = {}) const override;

  // Where a program at `programPath` looks for the module, in order.
  static std::vector<std::string> modulePlaces(std::string_view programPath);

 private:
  const Client& client() const;

  Options options_;
  mutable std::mutex mutex_;
  mutable std::unique_ptr<Client> client_;
};

}  // namespace tavra::http
