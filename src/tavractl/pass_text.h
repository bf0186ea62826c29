// passText: what `apply --local` and `simulate` print of the pass they ran.
#pragma once

#include <string>

#include "tavra/file_applier.h"
#include "tavra/status_report.h"

namespace tavra::ctl {

// The report's summary line, then a changeLine() per change and one line per error
// ("\u2717 <error>"), every line ending in a line feed.
std::string passText(const StatusReport& report);

// One change as the tool lists it: "  <action>: <path>" and a line feed (`status` lists the last
// run's changes the same way).
std::string changeLine(const FileApplier::Change& change);

}  // namespace tavra::ctl
