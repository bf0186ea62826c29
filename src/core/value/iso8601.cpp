#include "tavra/iso8601.h"

#include <cstdio>

namespace tavra {

std::string iso8601(Date date) {
  return iso8601(std::chrono::floor<std::chrono::seconds>(date));
}

namespace {

// `value` as `width` decimal digits, zero-padded, at `out`.
void digits(char* out, int value, int width) {
  for (int i = width - 1; i >= 0; --i, value /= 10) out[i] = static_cast<char>('0' + value % 10);
}

}  // namespace

std::string iso8601(std::chrono::sys_seconds when) {
  using namespace std::chrono;
  const auto days = floor<std::chrono::days>(when);
  const year_month_day ymd{days};
  const hh_mm_ss<std::chrono::seconds> time{when - days};
  const int y = int(ymd.year());
  if (y >= 0 && y <= 9999) {
    // The form of every four-digit year, written without the cost of a formatted print.
    std::string text = "0000-00-00T00:00:00Z";
    digits(text.data(), y, 4);
    digits(text.data() + 5, int(unsigned(ymd.month())), 2);
    digits(text.data() + 8, int(unsigned(ymd.day())), 2);
    digits(text.data() + 11, int(time.hours().count()), 2);
    digits(text.data() + 14, int(time.minutes().count()), 2);
    digits(text.data() + 17, int(time.seconds().count()), 2);
    return text;
  }
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", int(ymd.year()),
                unsigned(ymd.month()), unsigned(ymd.day()), int(time.hours().count()),
                int(time.minutes().count()), int(time.seconds().count()));
  return buffer;
}

std::optional<Date> parseISO8601(std::string_view text) {
  using namespace std::chrono;
  const auto when = parseISO8601Seconds(text);
  if (!when) return std::nullopt;
  // Date counts in the clock's own unit, which does not reach every four-digit year.
  if (*when < floor<seconds>(Date::min()) || *when > floor<seconds>(Date::max())) {
    return std::nullopt;
  }
  return time_point_cast<Date::duration>(*when);
}

std::optional<std::chrono::sys_seconds> parseISO8601Seconds(std::string_view text) {
  using namespace std::chrono;
  // YYYY-MM-DDTHH:MM:SSZ, exactly 20 characters.
  if (text.size() != 20) return std::nullopt;
  static constexpr std::string_view shape = "dddd-dd-ddTdd:dd:ddZ";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const char c = text[i];
    if (shape[i] == 'd' ? (c < '0' || c > '9') : c != shape[i]) return std::nullopt;
  }
  auto number = [&](std::size_t at, std::size_t width) {
    int n = 0;
    for (std::size_t i = at; i < at + width; ++i) n = n * 10 + (text[i] - '0');
    return n;
  };
  const year_month_day ymd{year{number(0, 4)}, month{unsigned(number(5, 2))},
                           day{unsigned(number(8, 2))}};
  const int h = number(11, 2), m = number(14, 2), s = number(17, 2);
  if (!ymd.ok() || h > 23 || m > 59 || s > 59) return std::nullopt;
  return sys_days{ymd} + hours{h} + minutes{m} + seconds{s};
}

}  // namespace tavra
