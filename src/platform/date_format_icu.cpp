#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <cstdlib>
#include <memory>
#include <optional>

#include "tavra/platform/date_format.h"

namespace tavra::platform {
namespace {

// "de_DE.UTF-8@euro" is ICU's "de_DE"; the C and POSIX locales are ICU's "en_US_POSIX", and so
// is a name that ICU cannot take for a locale at all (its formatters crash on such a locale), as
// the C library falls back to the C locale for a name it does not know.
icu::Locale icuLocale(std::string_view posixName) {
  static constexpr const char* cLocale = "en_US_POSIX";
  std::string name(posixName.substr(0, posixName.find_first_of(".@")));
  if (name.empty() || name == "C" || name == "POSIX") name = cLocale;
  icu::Locale locale = icu::Locale::createCanonical(name.c_str());
  return locale.isBogus() ? icu::Locale(cLocale) : locale;
}

}  // namespace

std::string timeLocaleFromEnvironment() {
  for (const char* variable : {"LC_ALL", "LC_TIME", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return "C";
}

std::optional<std::string> mediumDateTime(std::chrono::system_clock::time_point date,
                                          std::string_view locale, std::string_view timeZone) {
  try {
    std::unique_ptr<icu::DateFormat> format(icu::DateFormat::createDateTimeInstance(
        icu::DateFormat::kMedium, icu::DateFormat::kMedium, icuLocale(locale)));
    if (!format) return std::nullopt;
    std::unique_ptr<icu::TimeZone> zone(
        timeZone.empty()
            ? icu::TimeZone::detectHostTimeZone()
            : icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(
                  icu::StringPiece(timeZone.data(), static_cast<int32_t>(timeZone.size())))));
    if (zone) format->setTimeZone(*zone);
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
    icu::UnicodeString text;
    format->format(static_cast<UDate>(milliseconds), text);
    std::string out;
    text.toUTF8String(out);
    return out;
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace tavra::platform
