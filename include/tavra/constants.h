// Constants: the fixed identifiers, paths, version, default intervals, default catalog location
// and built-in catalog keys shared by the library, the daemon and the tool.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavra::Constants {

inline constexpr std::string_view version = "0.2.1";
inline constexpr std::string_view bundleID = "com.zelkorandin.tavra";
inline constexpr std::string_view settingsDomain = "com.zelkorandin.tavra";
inline constexpr std::string_view logSubsystem = "com.zelkorandin.tavra";
inline constexpr std::string_view policyDomainPrefix = "com.zelkorandin.tavra.policy.";
inline constexpr std::string_view managedPreferencesDirectory = "/Library/Managed Preferences";
// The notification a Mac posts when its installed configuration profiles change.
inline constexpr std::string_view profileListChangedNotification =
    "com.apple.ManagedConfiguration.profileListChanged";
inline constexpr std::string_view supportDirectory = "/Library/Application Support/Tavra";
inline constexpr std::string_view catalogDirectory = "/Library/Application Support/Tavra/catalog";
inline constexpr std::string_view stateFile = "/Library/Application Support/Tavra/state.json";
inline constexpr std::string_view statusFile = "/Library/Application Support/Tavra/status.json";
inline constexpr std::string_view backupDirectory = "/Library/Application Support/Tavra/backups";
inline constexpr std::string_view keyDirectory = "/Library/Application Support/Tavra/keys";
inline constexpr double defaultReapplyInterval = 900.0;
inline constexpr double defaultCatalogRefreshInterval = 86400.0;

// The largest file of the system's own inputs that the daemon and the tool read: policy fragments
// and settings, catalogs and their signatures, status reports. A larger one is refused unread, so
// one cap decides alike what the daemon applies and what the tool validates or simulates.
inline constexpr std::int64_t maxInputFileBytes = std::int64_t{64} << 20;
// The cap as messages name it.
inline constexpr std::string_view maxInputFileText = "64 MiB";
static_assert(maxInputFileBytes == 64 * 1024 * 1024, "maxInputFileText names the cap");

// The download address of the latest released catalog.json (a build-time setting); its
// signature lives at the same address with ".sig" appended.
const std::string& defaultCatalogURL();

// The built-in trusted catalog-signing keys: base64 of raw 32-byte Ed25519 public keys.
const std::vector<std::string>& embeddedCatalogKeys();

}  // namespace tavra::Constants
