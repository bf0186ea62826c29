// The libcurl client inside the HTTP module; see http.h for what it does. Only the module
// builds it (and the module's entry point hands it out), so nothing else links libcurl.
#pragma once

#include <optional>
#include <string>

#include "tavra/platform/http.h"

namespace tavra::http {

class CurlClient final : public Client {
 public:
  // `caFile`: a PEM file of CA certificates to trust instead of the system's store (tests).
  explicit CurlClient(std::optional<std::string> caFile) : caFile_(std::move(caFile)) {}
  Response get(const Request& request, std::stop_token cancel = {}) const override;

 private:
  std::optional<std::string> caFile_;
};

}  // namespace tavra::http
