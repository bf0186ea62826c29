// StatusReport: the result of one reconcile pass, written as status.json in the support
// directory and read back by the administration tool.
//
// A plain record, every field mutable, equal when all fields are equal. Its JSON form is the
// shared encoding of the system's own files (pretty-printed, sorted keys, ISO-8601 dates with
// whole seconds, "/" escaped): every key is always written except "catalogVersion" and
// "inventory", which are left out when absent. Decoding requires every other key, ignores unknown
// ones and refuses a wrong type, an unknown health or a date in any other form. A harness state
// or an installation kind is plain text in the file: one this program does not know is kept as it
// was read (OpenEnum) and shown and written again as it came.
// Nothing here keeps state; everything may run on any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tavra/constants.h"
#include "tavra/discovery.h"
#include "tavra/file_applier.h"
#include "tavra/iso8601.h"
#include "tavra/open_enum.h"
#include "tavra/platform/file_system.h"
#include "tavra/raw_value.h"
#include "tavra/records_json.h"
#include "tavra/value.h"

namespace tavra {

struct StatusReport {
  enum class Health { ok, degraded, error };
  // What became of one harness in a pass; its raw text is its JSON form.
  enum class HarnessState { unmanaged, disabled, error, degraded, managed };

  struct HarnessStatus {
    std::string id;
    OpenEnum<HarnessState> state = HarnessState::unmanaged;
    std::vector<std::string> fragments;  // contributing fragment ids, in precedence order
    std::vector<std::string> outputs;    // output paths rendered this pass, as in the catalog
    std::vector<std::string> warnings;
    std::vector<std::string> errors;
    friend bool operator==(const HarnessStatus&, const HarnessStatus&) = default;
  };

  std::string tavraVersion{Constants::version};
  Date timestamp{};
  Health health = Health::ok;
  bool dryRun = false;
  std::optional<std::string> catalogVersion;
  std::vector<std::string> fragments;
  std::map<std::string, std::string, std::less<>> fragmentErrors;
  std::vector<HarnessStatus> harnesses;
  std::vector<FileApplier::Change> changes;
  std::vector<std::string> errors;
  std::optional<std::vector<Discovery::HarnessInventory>> inventory;

  // The health, "; catalog ", the catalog version or "none", "; managed: " and the ids of the
  // harnesses in state "managed" joined by "," (or "none").
  std::string summary() const;

  // The JSON object of the report, and its status.json bytes through the shared encoder.
  Value toValue() const;
  std::string encode() const;
  // The report held by status.json bytes. Throws the shared decoder's error.
  static StatusReport decode(std::string_view bytes);
  static StatusReport fromValue(const Value& value);

  // Reads and decodes the file at `path`. Throws TavraError::io "no status at <path>" when it
  // cannot be read, otherwise the decoder's error.
  static StatusReport load(const FileSystem& files, const std::string& path);

  friend bool operator==(const StatusReport&, const StatusReport&) = default;
};

template <>
struct RawValues<StatusReport::Health> {
  using enum StatusReport::Health;
  static constexpr CaseText<StatusReport::Health> table[] = {
      {ok, "ok"},
      {degraded, "degraded"},
      {error, "error"},
  };
};

template <>
struct RawValues<StatusReport::HarnessState> {
  using enum StatusReport::HarnessState;
  static constexpr CaseText<StatusReport::HarnessState> table[] = {
      {unmanaged, "unmanaged"}, {disabled, "disabled"}, {error, "error"},
      {degraded, "degraded"},   {managed, "managed"},
  };
};

}  // namespace tavra
