// printJSON: the tool's JSON output for tools and scripts.
//
// Pretty-printed with sorted keys, "/" not escaped, dates as ISO 8601 text, followed by one line
// feed. Text that is not well-formed UTF-8 is shown with U+FFFD. An encoding failure is thrown
// before anything is printed.
#pragma once

#include <iosfwd>
#include <vector>

#include "tavra/discovery.h"
#include "tavra/status_report.h"
#include "tavra/value.h"

namespace tavra::ctl {

void printJSON(std::ostream& out, const Value& value);
void printJSON(std::ostream& out, const StatusReport& report);
void printJSON(std::ostream& out, const std::vector<Discovery::HarnessInventory>& inventory);

}  // namespace tavra::ctl
