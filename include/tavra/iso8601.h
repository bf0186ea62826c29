// Dates as the system's files write them: ISO 8601 internet date-time in UTC with whole seconds
// and the zone letter Z (2024-05-06T07:08:09Z). Parsing accepts exactly that form.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace tavra {

using Date = std::chrono::system_clock::time_point;

// Fractions of a second are dropped (rounded toward the past).
std::string iso8601(Date date);
std::optional<Date> parseISO8601(std::string_view text);

// The same form in whole seconds, which reach every date the form can write, 0000-01-01T00:00:00Z
// to 9999-12-31T23:59:59Z (Date's own unit does not): property-list dates use these. Writing is
// meant for seconds within those years only; callers refuse the others.
std::string iso8601(std::chrono::sys_seconds when);
std::optional<std::chrono::sys_seconds> parseISO8601Seconds(std::string_view text);

}  // namespace tavra
