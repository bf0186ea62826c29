// The vendor catalog model: which agent harnesses exist, which native files (outputs) each one
// reads, where they live, in which format and mode they are written, how several fragments'
// values for them are merged, and how an installation is detected.
//
// Every type here is a plain value record (copies are independent, equality is field by field;
// optional fields are equal when both are absent or both present and equal). Records built in
// code leave every optional field absent.
//
// Catalog::decode() is the only way from bytes to a catalog: it reads `catalog.json` (unknown
// keys ignored at every level, a JSON null counts as absent, wrong JSON types and unknown
// enumeration texts refused), refuses a schemaVersion above supportedSchemaVersion and then runs
// validate(). Failures of the JSON decoding itself throw Catalog::DecodeError; the schema-version
// check and validate() throw TavraError::catalog. A catalog that fails is never partly returned.
// Nothing here touches shared state; everything may run on any thread.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tavra/json.h"
#include "tavra/merge_rule.h"
#include "tavra/raw_value.h"
#include "tavra/value.h"

namespace tavra {

// How discovery finds installations and running processes; every list is optional.
struct Detection {
  std::optional<std::vector<std::string>> appBundleIDs;
  std::optional<std::vector<std::string>> executables;
  std::optional<std::vector<std::string>> processNames;
  std::optional<std::vector<std::string>> userConfigPaths;

  friend bool operator==(const Detection&, const Detection&) = default;
};

// One native file of a harness.
struct Output {
  enum class Format { json, toml, plist };

  std::string id;
  std::string path;  // absolute, as written in the catalog
  Format format = Format::json;
  std::optional<std::string> description;
  std::optional<std::string> mode;  // octal text; read through fileMode()
  std::optional<std::vector<MergeRule>> mergeRules;
  std::optional<std::vector<std::string>> jsonEncodedKeys;  // key-path texts
  std::optional<std::vector<std::string>> forbiddenKeys;    // key-path texts
  std::optional<std::vector<std::string>> internalKeys;     // key-path texts

  // The permission bits to write the file with: `mode` parsed as octal (an optional sign, digits
  // 0-7, at most 0177777, "-" only for zero), unmasked; 0644 when absent, empty or unreadable.
  std::uint16_t fileMode() const noexcept;

  friend bool operator==(const Output&, const Output&) = default;
};

template <>
struct RawValues<Output::Format> {
  using enum Output::Format;
  static constexpr CaseText<Output::Format> table[] = {
      {json, "json"},
      {toml, "toml"},
      {plist, "plist"},
  };
};

struct Harness {
  // Only `planned` changes behaviour elsewhere; the other two are only displayed.
  enum class Status { supported, experimental, planned };

  std::string id;
  std::string displayName;
  std::string vendor;
  Status status = Status::supported;
  std::vector<Output> outputs;
  std::optional<std::string> notes;
  std::optional<std::vector<std::string>> documentation;
  std::optional<std::vector<std::string>> conflictingPreferenceDomains;
  std::optional<std::string> lastReviewed;
  std::optional<Detection> detect;

  friend bool operator==(const Harness&, const Harness&) = default;
};

template <>
struct RawValues<Harness::Status> {
  using enum Harness::Status;
  static constexpr CaseText<Harness::Status> table[] = {
      {supported, "supported"},
      {experimental, "experimental"},
      {planned, "planned"},
  };
};

struct Catalog {
  static constexpr std::int64_t supportedSchemaVersion = 2;

  // The JSON decoding failed: malformed JSON, a required key missing or null, a value of the
  // wrong JSON type, or an unknown enumeration text. The text names the offending place.
  class DecodeError : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
  };

  std::int64_t schemaVersion = 0;
  std::string catalogVersion;
  std::vector<Harness> harnesses;  // in the order passes and reports walk them

  // Decodes catalog.json bytes, checks the schema version, validates. Throws DecodeError or
  // TavraError::catalog.
  static Catalog decode(std::string_view bytes);

  // Structural checks, first failure wins: duplicate harness ids, strictest rules without an
  // order, duplicate output ids within a harness, relative output paths. Throws
  // TavraError::catalog.
  void validate() const;

  // The first harness in catalog order whose id equals `id` (case-sensitive).
  std::optional<Harness> harness(std::string_view id) const;

  // The exact mirror of the JSON form: same keys, absent optional fields left out.
  Value toValue() const;
  // The JSON form as a JSON encoder writes the record in its default settings: compact, keys in
  // the records' own field order (schemaVersion, catalogVersion, harnesses; a harness's id,
  // displayName, vendor, status, outputs, ...), "/" escaped as "\/", other text as the system's
  // JSON writer gives it. Throws json::WriteError for text that is not well-formed UTF-8.
  std::string encode() const;

  friend bool operator==(const Catalog&, const Catalog&) = default;
};

// Compares dotted version texts numerically piece by piece (empty pieces dropped, a piece that is
// not a decimal integer counts as 0, missing pieces count as 0): less when `a` is lower.
std::strong_ordering compareCatalogVersions(std::string_view a, std::string_view b) noexcept;

}  // namespace tavra
