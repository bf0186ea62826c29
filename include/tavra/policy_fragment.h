// PolicyFragment: one parsed policy fragment, the unit in which administrators deliver policy.
//
// A fragment names, per harness id and per output id, the native settings to enforce, and has a
// priority that decides which fragment wins where several configure the same output. It is a
// plain value, compared field by field. `parse` turns a managed-preference payload into a
// fragment; it reads no files, keeps no state and throws TavraError::fragment with a message
// that starts with the domain and ": ". The parser knows nothing of the catalog: unknown
// harness or output ids and the output values themselves are checked later, when merged.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavra/value.h"

namespace tavra {

struct PolicyFragment {
  // Output id to native settings of one harness.
  using Outputs = Value::Object;
  // Harness id to its outputs.
  using Harnesses = std::map<std::string, Outputs, std::less<>>;

  // The fragment's name: the payload's PolicyID, else the domain without the policy prefix.
  std::string id;
  // Higher wins; 0 when the payload has no Priority.
  std::int64_t priority = 0;
  std::optional<std::string> description;
  // The preference domain the payload came from, exactly as given to parse.
  std::string sourceDomain;
  Harnesses harnesses;

  // The fragment described by the payload `value` of `domain`, or no value when the payload
  // switches the fragment off (Enabled false). Throws TavraError::fragment for a payload that is
  // not acceptable; the first problem found is reported.
  static std::optional<PolicyFragment> parse(std::string_view domain, const Value& value);
  // The same, taking the payload's outputs over instead of copying them.
  static std::optional<PolicyFragment> parse(std::string_view domain, Value&& value);

  // The precedence order: `a` comes before `b` when its priority is greater, or at equal priority
  // when its id is lower (ascending code-point order of the ids' NFC forms, so two spellings of
  // one text are equal). Use with a stable sort.
  static bool precedes(const PolicyFragment& a, const PolicyFragment& b);

  friend bool operator==(const PolicyFragment&, const PolicyFragment&) = default;
};

// A copy of `fragments` in precedence order (stable: equal priority and id keep input order);
// the first element has the highest precedence.
std::vector<PolicyFragment> sortedByPrecedence(std::vector<PolicyFragment> fragments);

}  // namespace tavra
