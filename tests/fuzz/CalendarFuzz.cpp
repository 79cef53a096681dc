// One ".ics" file of a vdir calendar, read for a 39-hour window.
#include "FuzzSupport.hpp"
#include "QuilletKit/VdirCalendar.hpp"

QUILLET_FUZZ_TARGET(input) {
  quillet::Date from{std::chrono::seconds{1741600000}};
  (void)quillet::VdirCalendarStore::parse(std::string(input), from, from + std::chrono::hours(39), "fallback");
}
