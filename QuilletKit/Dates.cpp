#include "QuilletKit/Dates.hpp"

#include <ctime>

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

std::string formatLocal(Date date, const char* strftimePattern) {
  std::time_t t = static_cast<std::time_t>(date.time_since_epoch().count());
  std::tm local{};
  localtime_r(&t, &local);
  char buffer[128];
  size_t n = std::strftime(buffer, sizeof buffer, strftimePattern, &local);
  return std::string(buffer, n);
}

}  // namespace quillet
