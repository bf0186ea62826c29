#include "print_json.h"

#include <ostream>

#include "tavra/json.h"
#include "tavra/value.h"
#include "terminal_text.h"

namespace tavra::ctl {
void printJSON(std::ostream& out, const Value& value) {
  const std::string text =
      json::write(withReadableText(value), {.pretty = true, .escapeSlash = false});
  writeVerbatim(out, text + '\n');
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
