#pragma once
// Dates as whole UTC seconds, with the strict ISO 8601 form used in files and
// the local-time renderings built on the process's time zone (TZ).
#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace quillet {

using Date = std::chrono::sys_seconds;

// "YYYY-MM-DDTHH:MM:SSZ" and nothing else (no fraction, no offset).
std::optional<Date> parseISO8601(std::string_view text);
std::string formatISO8601(Date date);

// The date's calendar fields in the process's time zone (TZ).
std::tm localTime(Date date);

// The date in the process's time zone with a strftime pattern.
std::string formatLocal(Date date, const char* strftimePattern);

// The date and time as a desktop user of the current locale reads them:
// numeric date with the four-digit year and a short time, in the process's
// time zone. The locale comes from LC_ALL, LC_TIME or LANG.
std::string formatForUser(Date date);

// The ICU locale named by the environment's LC_ALL / LC_TIME / LANG.
std::string userTimeLocale();

}  // namespace quillet
