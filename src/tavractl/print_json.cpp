#include "print_json.h"

#include <ostream>

#include "tavra/json.h"
#include "tavra/platform/unicode.h"

namespace tavra::ctl {
namespace {

std::string repaired(const std::string& text) {
  return unicode::isValidUTF8(text) ? text : unicode::repairedUTF8(text);
}

Value readable(const Value& value) {
  if (const auto* text = value.asString()) return repaired(*text);
  if (const auto* elements = value.asArray()) {
    Value::Array out;
    out.reserve(elements->size());
    for (const Value& element : *elements) out.push_back(readable(element));
    return out;
  }
  if (const auto* entries = value.asObject()) {
    Value::Object out;
    for (const auto& [key, member] : *entries) out.emplace(repaired(key), readable(member));
    return out;
  }
  return value;
}

}  // namespace

void printJSON(std::ostream& out, const Value& value) {
  const std::string text = json::write(readable(value), {.pretty = true, .escapeSlash = false});
  out << text << '\n';
}

void printJSON(std::ostream& out, const StatusReport& report) {
  printJSON(out, report.toValue());
}

void printJSON(std::ostream& out, const std::vector<Discovery::HarnessInventory>& inventory) {
  Value::Array entries;
  entries.reserve(inventory.size());
  for (const auto& entry : inventory) entries.push_back(toValue(entry));
  printJSON(out, Value(std::move(entries)));
}

}  // namespace tavra::ctl
