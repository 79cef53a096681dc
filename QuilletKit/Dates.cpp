#include "QuilletKit/Dates.hpp"
#include "QuilletKit/Localization.hpp"

#include <unicode/datefmt.h>
#include <unicode/dtptngen.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

#include <ctime>
#include <memory>

namespace quillet {

using namespace std::chrono;

static bool readDigits(std::string_view text, size_t at, size_t count, int& value) {
  value = 0;
  for (size_t i = at; i < at + count; ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

std::optional<Date> parseISO8601(std::string_view text) {
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
      text[13] != ':' || text[16] != ':' || text[19] != 'Z')
    return std::nullopt;
  int y, mo, d, h, mi, s;
  if (!readDigits(text, 0, 4, y) || !readDigits(text, 5, 2, mo) || !readDigits(text, 8, 2, d) ||
      !readDigits(text, 11, 2, h) || !readDigits(text, 14, 2, mi) || !readDigits(text, 17, 2, s))
    return std::nullopt;
  year_month_day ymd{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
  if (!ymd.ok() || h > 23 || mi > 59 || s > 59) return std::nullopt;
  return sys_days{ymd} + hours{h} + minutes{mi} + seconds{s};
}

std::string formatISO8601(Date date) {
  sys_days dayPart = floor<days>(date);
  year_month_day ymd{dayPart};
  hh_mm_ss<seconds> time{date - dayPart};
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02ld:%02ld:%02ldZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<long>(time.hours().count()), static_cast<long>(time.minutes().count()),
                static_cast<long>(time.seconds().count()));
  return buffer;
}

std::tm localTime(Date date) {
  std::time_t t = static_cast<std::time_t>(date.time_since_epoch().count());
  std::tm local{};
  localtime_r(&t, &local);
  return local;
}

std::string formatLocal(Date date, const char* strftimePattern) {
  std::tm local = localTime(date);
  char buffer[128];
  size_t n = std::strftime(buffer, sizeof buffer, strftimePattern, &local);
  return std::string(buffer, n);
}

std::string userTimeLocale() {
  auto locale = localeFromEnvironment("LC_TIME");
  if (!locale || *locale == "C" || *locale == "POSIX") return "en_US_POSIX";
  return *locale;
}

namespace {

// Building a pattern generator costs far more than formatting, and a listing
// formats every meeting: keep one formatter per thread, rebuilt only when the
// locale changes.
icu::SimpleDateFormat* userFormatter() {
  struct Cached {
    std::string locale;
    std::unique_ptr<icu::SimpleDateFormat> format;
  };
  thread_local Cached cached;
  std::string name = userTimeLocale();
  if (cached.format && cached.locale == name) return cached.format.get();
  cached = {name, nullptr};
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale locale(name.c_str());
  std::unique_ptr<icu::DateTimePatternGenerator> generator(
      icu::DateTimePatternGenerator::createInstance(locale, status));
  if (U_FAILURE(status)) return nullptr;
  icu::UnicodeString pattern = generator->getBestPattern(u"yMdjmm", status);
  if (U_FAILURE(status)) return nullptr;
  auto format = std::make_unique<icu::SimpleDateFormat>(pattern, locale, status);
  if (U_FAILURE(status)) return nullptr;
  // The C library turns the date into local time (see formatForUser), so
  // the formatter only writes out wall-clock fields.
  format->adoptTimeZone(icu::TimeZone::getGMT()->clone());
  cached.format = std::move(format);
  return cached.format.get();
}

}  // namespace

std::string formatForUser(Date date) {
  icu::SimpleDateFormat* format = userFormatter();
  if (!format) return formatLocal(date, "%Y-%m-%d %H:%M");
  // ICU reads TZ only when it names a zone of its database, and shows UTC
  // for a POSIX rule ("CET-1CEST,M3.5.0,M10.5.0/3", "<-03>3"); the C library
  // reads every form, as it does for folder names.
  const std::tm local = localTime(date);
  const double wallClock = static_cast<double>(date.time_since_epoch().count() + local.tm_gmtoff);
  icu::UnicodeString text;
  format->format(wallClock * 1000.0, text);
  std::string out;
  text.toUTF8String(out);
  return out;
}

}  // namespace quillet
