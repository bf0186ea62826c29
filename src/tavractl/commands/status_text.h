// The two text forms of a status report that `status` prints.
#pragma once

#include <functional>
#include <string>

#include "tavra/iso8601.h"
#include "tavra/status_report.h"

namespace tavra::ctl {

// The one line for inventory attributes, without its line feed:
// "degraded | catalog 1.0 | managed a,b | last run 5m ago | problems c:error".
std::string statusLine(const StatusReport& report, Date now);

// The human listing, every line ending in a line feed; `formatDate` gives the run's time.
std::string statusListing(const StatusReport& report,
                          const std::function<std::string(Date)>& formatDate);

}  // namespace tavra::ctl
