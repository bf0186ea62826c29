#include "tavra/platform/date_format.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <optional>
#include <string>

#include "support/child_process.h"
#include "tavra/iso8601.h"

namespace tavra::platform {
namespace {

const Date date = *parseISO8601("2025-06-15T13:45:30Z");

TEST(DateFormatTest, MediumDateAndTimeOfALocaleInAZone) {
  struct Case {
    std::string locale;
    std::string zone;
    std::string text;
  };
  for (const auto& c : std::vector<Case>{
           {"en_US.UTF-8", "UTC", "Jun 15, 2025, 1:45:30\u202FPM"},
           {"de_DE.UTF-8@euro", "Europe/Berlin", "15.06.2025, 15:45:30"},
           {"en_GB", "America/New_York", "15 Jun 2025, 09:45:30"},
           {"C", "UTC", "Jun 15, 2025, 1:45:30\u202FPM"},
       }) {
    EXPECT_EQ(mediumDateTime(date, c.locale, c.zone), std::optional<std::string>(c.text))
        << c.locale;
  }
}

TEST(DateFormatTest, TheTimeLocaleComesFromTheEnvironmentInTheCLibrarysOrder) {
  const char* names[] = {"LC_ALL", "LC_TIME", "LANG"};
  std::vector<std::optional<std::string>> saved;
  for (const char* name : names) {
    const char* value = getenv(name);
    saved.push_back(value ? std::optional<std::string>(value) : std::nullopt);
  }
  setenv("LC_ALL", "", 1);
  setenv("LC_TIME", "de_DE.UTF-8", 1);
  setenv("LANG", "fr_FR.UTF-8", 1);
  EXPECT_EQ(timeLocaleFromEnvironment(), "de_DE.UTF-8");
  setenv("LC_ALL", "en_GB.UTF-8", 1);
  EXPECT_EQ(timeLocaleFromEnvironment(), "en_GB.UTF-8");
  unsetenv("LC_ALL");
  unsetenv("LC_TIME");
  EXPECT_EQ(timeLocaleFromEnvironment(), "fr_FR.UTF-8");
  unsetenv("LANG");
  EXPECT_EQ(timeLocaleFromEnvironment(), "C");
  for (std::size_t i = 0; i < saved.size(); ++i) {
    if (saved[i]) {
      setenv(names[i], saved[i]->c_str(), 1);
    } else {
      unsetenv(names[i]);
    }
  }
}

// Whatever the environment holds is no reason to crash: a name that is no locale formats as the
// C locale does, as the C library itself falls back to it.
TEST(DateFormatTest, ANameThatIsNoLocaleFormatsAsTheCLocale) {
  const std::optional<std::string> cLocale = mediumDateTime(date, "C", "UTC");
  for (const std::string& name :
       {std::string(12, 'a'), std::string(5000, 'a'), std::string(200, 'x') + ".UTF-8"}) {
    EXPECT_EQ(mediumDateTime(date, name, "UTC"), cLocale) << name.size();
  }
}

// This machine's zone is TZ as the C library reads it, POSIX rules included, checked against
// python's reading of the same TZ.
TEST(DateFormatTest, TheMachinesZoneIsTZAsTheCLibraryReadsIt) {
  if (!test::hasProgram("python3")) GTEST_SKIP() << "python3 is not available";
  const char* saved = getenv("TZ");
  const std::optional<std::string> old = saved ? std::optional<std::string>(saved) : std::nullopt;
  const Date winter = *parseISO8601("2025-01-15T13:45:30Z");
  for (const std::string zone : {"EST5EDT,M3.2.0,M11.1.0", "<+0545>-5:45", "GMT+5", "<-03>3",
                                 "UTC0", "Europe/Berlin", ":Asia/Tokyo", "America/New_York"}) {
    for (const Date when : {date, winter}) {
      const auto seconds =
          std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
      const test::ProcessResult python = test::runProcess(
          {"env", "TZ=" + zone, "python3", "-c",
           "import sys, time\n"
           "print(time.strftime('%d.%m.%Y, %H:%M:%S', time.localtime(int(sys.argv[1]))))",
           std::to_string(seconds)});
      ASSERT_EQ(python.status, 0) << python.errors;
      setenv("TZ", zone.c_str(), 1);
      EXPECT_EQ(mediumDateTime(when, "de_DE.UTF-8").value_or("") + "\n", python.output)
          << zone << " at " << iso8601(when);
    }
  }
  if (old) {
    setenv("TZ", old->c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST(DateFormatTest, AnUnknownZoneStillGivesText) {
  EXPECT_FALSE(mediumDateTime(date, "en_US", "Not/AZone").value_or("").empty());
}

}  // namespace
}  // namespace tavra::platform
