// Dates for people: the medium date and medium time styles of a locale, in a time zone (ICU on
// this machine). Stateless and safe to call from any thread; never throws.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace tavra::platform {

// The locale that formats times in this process's environment, as the C library chooses it:
// the first non-empty of LC_ALL, LC_TIME and LANG, else "C".
std::string timeLocaleFromEnvironment();

// `date` in the medium date style followed by the medium time style of `locale` (a POSIX locale
// name such as "de_DE.UTF-8", or "C"), in the time zone `timeZone` (an Olson id such as
// "Europe/Berlin"; empty means this machine's zone as the C library reads TZ, POSIX rules
// included, or the system setting).
// No value when the locale's formatter cannot be made.
std::optional<std::string> mediumDateTime(std::chrono::system_clock::time_point date,
                                          std::string_view locale, std::string_view timeZone = {});

}  // namespace tavra::platform
