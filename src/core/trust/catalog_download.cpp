// CatalogStore::update: the download of a catalog and its signature, and the pinning and
// anti-rollback rules that decide whether it is installed.
#include <exception>
#include <optional>
#include <stop_token>
#include <thread>

#include "tavra/catalog_store.h"
#include "tavra/constants.h"
#include "tavra/error.h"

namespace tavra {

namespace {

struct Fetched {
  std::string bytes;
  std::exception_ptr error;
};

// One download: https through the client, a file URL read from disk, anything else refused.
std::string fetch(const URL& url, const FileSystem& files, const CatalogStore::Transport& transport,
                  std::stop_token cancel) {
  if (url.scheme() == "https") {
    if (!transport.client) throw http::TransportError("no HTTP client to download " + url.text());
    http::Request request;
    request.url = url.text();
    request.timeout = transport.timeout;
    request.userAgent = std::string(CatalogStore::userAgent);
    request.maxBodyBytes = CatalogStore::maxDownloadBytes - 1;
    http::Response response = transport.client->get(request, cancel);
    if (response.status != 200) {
      throw TavraError::catalog("download of " + url.text() + " failed (" +
                                std::to_string(response.status) + ")");
    }
    if (response.bodyExceededLimit) throw TavraError::catalog("catalog too large");
    return std::move(response.body);
  }
  if (url.isFileURL()) {
    const auto path = url.filePath();
    if (!path) throw TavraError::catalog("catalog URL must be https");
    fs::ReadResult read = files.readFile(*path, {.maxBytes = Constants::maxInputFileBytes});
    if (!read) throw fs::systemError(read.error, "cannot read " + *path);
    return std::move(read.bytes);
  }
  throw TavraError::catalog("catalog URL must be https");
}

}  // namespace

CatalogStore::UpdateResult CatalogStore::update(
    const URL& from, const std::optional<std::string>& pinnedVersion) const {
  const URL signatureURL = from.appendingToLastPathComponent(signatureSuffix);

  // The two fetches run at once; each thread leaves its result or error behind.
  Fetched catalogResult, signatureResult;
  const auto run = [this](const URL& url, Fetched& into) {
    return [this, &url, &into](std::stop_token cancel) {
      try {
        into.bytes = fetch(url, *files_, transport_, cancel);
      } catch (...) {
        into.error = std::current_exception();
      }
    };
  };
  std::jthread catalogFetch(run(from, catalogResult));
  std::jthread signatureFetch(run(signatureURL, signatureResult));

  catalogFetch.join();
  if (catalogResult.error) {
    // The signature is of no use now: cancel it and wait for its thread before reporting.
    signatureFetch.request_stop();
    signatureFetch.join();
    std::rethrow_exception(catalogResult.error);
  }
  signatureFetch.join();
  if (signatureResult.error) std::rethrow_exception(signatureResult.error);

  const Catalog fresh = verify(catalogResult.bytes, signatureResult.bytes);
  std::optional<Catalog> current;
  try {
    current = cached();
  } catch (...) {
    current.reset();  // a damaged or unverifiable cache never blocks an update
  }

  if (pinnedVersion) {
    const std::string& pin = *pinnedVersion;
    if (fresh.catalogVersion == pin) {
      install(catalogResult.bytes, signatureResult.bytes);
      return UpdateResult::updated(pin);
    }
    if (current && current->catalogVersion == pin) return UpdateResult::unchanged(pin);
    throw TavraError::catalog("pinned version " + pin + " not available at " + from.text() +
                              " (found " + fresh.catalogVersion + ")");
  }

  if (!current) {
    install(catalogResult.bytes, signatureResult.bytes);
    return UpdateResult::updated(fresh.catalogVersion);
  }
  const auto order = compareCatalogVersions(fresh.catalogVersion, current->catalogVersion);
  if (order > 0) {
    install(catalogResult.bytes, signatureResult.bytes);
    return UpdateResult::updated(fresh.catalogVersion);
  }
  if (order == 0) return UpdateResult::unchanged(current->catalogVersion);
  throw TavraError::catalog("refusing rollback from " + current->catalogVersion + " to " +
                            fresh.catalogVersion);
}

}  // namespace tavra
