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

}  // namespace tavra
