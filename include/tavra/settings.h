// TavraSettings: the daemon's settings, as read from the settings domain com.zelkorandin.tavra.
//
// A plain record with every field public and mutable, compared field by field. A
// default-constructed record holds all defaults. `fromValue` builds the settings a domain's root
// value describes: each key is read on its own, and a missing key or a value the rule does not
// accept keeps that field's default; it never fails and never logs.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tavra/constants.h"
#include "tavra/url.h"
#include "tavra/value.h"

namespace tavra {

struct TavraSettings {
  // The built-in catalog location (the build's default catalog URL), parsed once. A build whose
  // configured URL is not an https URL fails here with std::logic_error.
  static const URL& defaultCatalogURL();

  // Period of the daemon's reapply timer, seconds (whole; at least 60 when read).
  double reapplyInterval = Constants::defaultReapplyInterval;
  // Where catalog refreshes download catalog.json from: an https or a file URL.
  URL catalogURL = defaultCatalogURL();
  // The only catalog version to accept, when set (kept as written, even empty).
  std::optional<std::string> catalogPinnedVersion;
  // Minimum time between two catalog refresh attempts, seconds (whole; at least 300 when read).
  double catalogRefreshInterval = Constants::defaultCatalogRefreshInterval;
  // Further base64 Ed25519 keys trusted for catalog signatures, unchecked, in order.
  std::vector<std::string> catalogTrustedKeys;
  // Further allowed output path prefixes, unchecked, in order.
  std::vector<std::string> additionalAllowedPaths;
  // Harness ids whose outputs must no longer be managed.
  std::set<std::string, std::less<>> disabledHarnesses;
  // Compute and report only; never write.
  bool dryRun = false;

  // The settings described by a settings domain's root value; all defaults when `value` is
  // absent or not an object.
  static TavraSettings fromValue(const std::optional<Value>& value);

  friend bool operator==(const TavraSettings&, const TavraSettings&) = default;
};

}  // namespace tavra
