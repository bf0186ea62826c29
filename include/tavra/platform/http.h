// A small HTTP client: one GET at a time per call, the whole answer returned to the caller.
//
// Client is the interface the catalog download uses; CurlClient is this machine's implementation
// (libcurl). The implementation verifies TLS against the system's CA store (or a CA file given
// in its options, for tests), follows redirects only to https (at most 10), takes no setting
// from the environment (the proxy variables are turned off), keeps no cache, and enforces the body
// cap while receiving, so an oversized answer is cut off rather than buffered. A Client is
// immutable and get() may be called from several threads at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>

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

class CurlClient final : public Client {
 public:
  struct Options {
    // A PEM file of CA certificates to trust instead of the system's store (tests only).
    std::optional<std::string> caFile;
  };
  CurlClient() = default;
  explicit CurlClient(Options options) : options_(std::move(options)) {}
  Response get(const Request& request, std::stop_token cancel = {}) const override;

 private:
  Options options_;
};

}  // namespace tavra::http
