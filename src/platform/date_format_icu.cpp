#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/simpletz.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <time.h>

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

UDate icuDate(std::chrono::system_clock::time_point date) {
  return static_cast<UDate>(
      std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count());
}

// The zone the C library reads from TZ (or the system setting), as it stands at `date`: the
// offset localtime_r gives there, under the zone's abbreviation. Enough to show that one moment.
std::unique_ptr<icu::TimeZone> cLibraryZone(std::chrono::system_clock::time_point date) {
  const time_t seconds =
      std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(date));
  tzset();
  struct tm local {};
  if (localtime_r(&seconds, &local) == nullptr) return nullptr;
  return std::make_unique<icu::SimpleTimeZone>(
      static_cast<int32_t>(local.tm_gmtoff * 1000),
      icu::UnicodeString::fromUTF8(local.tm_zone != nullptr ? local.tm_zone : ""));
}

// Whether `zone` is `offset` milliseconds ahead of UTC at `date`.
bool hasOffset(const icu::TimeZone& zone, UDate date, int32_t offset) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t raw = 0;
  int32_t daylight = 0;
  zone.getOffset(date, false, raw, daylight, status);
  return U_SUCCESS(status) && raw + daylight == offset;
}

// This machine's zone at `date`. TZ is the C library's variable and the C library's reading of
// it is the one every other program shows: ICU's zone of the same name (or its own detection) is
// taken when it agrees, and otherwise, as for a POSIX rule ("EST5EDT,M3.2.0,M11.1.0",
// "<+0545>-5:45") or a name ICU reads differently ("GMT+5"), the C library's offset.
std::unique_ptr<icu::TimeZone> hostZone(std::chrono::system_clock::time_point date) {
  std::unique_ptr<icu::TimeZone> zone;
  if (const char* tz = std::getenv("TZ"); tz != nullptr) {
    const std::string_view name = *tz == ':' ? tz + 1 : tz;
    zone.reset(icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(
        icu::StringPiece(name.data(), static_cast<int32_t>(name.size())))));
  } else {
    zone.reset(icu::TimeZone::detectHostTimeZone());
  }
  std::unique_ptr<icu::TimeZone> fromC = cLibraryZone(date);
  if (fromC == nullptr) return zone;
  if (zone != nullptr && hasOffset(*zone, icuDate(date), fromC->getRawOffset())) return zone;
  return fromC;
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
    std::unique_ptr<icu::TimeZone> zone =
        timeZone.empty() ? hostZone(date)
                         : std::unique_ptr<icu::TimeZone>(icu::TimeZone::createTimeZone(
                               icu::UnicodeString::fromUTF8(icu::StringPiece(
                                   timeZone.data(), static_cast<int32_t>(timeZone.size())))));
    if (zone) format->setTimeZone(*zone);
    icu::UnicodeString text;
    format->format(icuDate(date), text);
    std::string out;
    text.toUTF8String(out);
    return out;
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace tavra::platform
