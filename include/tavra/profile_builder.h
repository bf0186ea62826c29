// ProfileBuilder: what an administrator uploads to the MDM server, built from payloads.
//
// - mobileconfig wraps a payload (a policy fragment or the settings) into a configuration
//   profile, an XML property list whose identifiers and UUIDs derive from the preference domain,
//   so rebuilding a profile for the same domain gives the same bytes;
// - fragmentPayloads reads a fragment file back (plain JSON or property-list payload, or a whole
//   configuration profile) and yields one (domain, payload) pair per policy fragment in it;
// - jamfFragmentSchema and jamfSettingsSchema build the Jamf Pro custom JSON schemas of a policy
//   fragment domain and of the settings domain, as Value trees.
// Stateless pure operations (fragmentPayloads reads its one file); thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavra/platform/file_system.h"
#include "tavra/value.h"

namespace tavra {

struct Catalog;

namespace ProfileBuilder {

// A name-based UUID of `text` in upper-case 8-4-4-4-12 form: the first 16 bytes of the SHA-256 of
// "com.zelkorandin.tavra/" + text, with the version nibble 5 and the RFC 4122 variant bits set.
std::string stableUUID(std::string_view text);

// The bytes of a configuration profile holding `payload` as the one payload of `domain`.
// Throws TavraError::fragment("payload must be a dictionary") when `payload` is not an object,
// and the property-list writer's error unchanged.
std::string mobileconfig(std::string_view domain, const Value& payload,
                         std::string_view displayName,
                         const std::optional<std::string>& organization = std::nullopt,
                         const std::optional<std::string>& description = std::nullopt);

// One policy payload found in a file, with the preference domain it belongs to.
struct FragmentPayload {
  std::string domain;
  Value value;

  friend bool operator==(const FragmentPayload&, const FragmentPayload&) = default;
};

// The policy payloads of the file at `path` (reached through `files`; a regular file of at most
// Constants::maxInputFileBytes), in document order. Throws TavraError::io ("cannot read " + path)
// for a file that cannot be read, the JSON or property-list reader's error for malformed content
// and Value::ConversionError for content without a Value form.
std::vector<FragmentPayload> fragmentPayloads(const FileSystem& files, const std::string& path);
// The same for `bytes` already read from the file at `path`, whose name chooses the reader (JSON
// for a name ending in ".json", a property list otherwise) and gives a plain fragment's domain.
std::vector<FragmentPayload> fragmentPayloads(std::string_view bytes, const std::string& path);

// The Jamf Pro schema of a policy-fragment domain; `catalog` (may be null) supplies the list of
// harnesses and outputs shown in the HarnessesJSON description. Never fails.
Value jamfFragmentSchema(const Catalog* catalog);

// The Jamf Pro schema of the settings domain. Never fails.
Value jamfSettingsSchema();

}  // namespace ProfileBuilder
}  // namespace tavra
