// One ".ics" file of a vdir calendar, read for a 39-hour window.
#include "QuilletKit/VdirCalendar.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string ics(reinterpret_cast<const char*>(data), size);
  quillet::Date from{std::chrono::seconds{1741600000}};
  (void)quillet::VdirCalendarStore::parse(ics, from, from + std::chrono::hours(39), "fallback");
  return 0;
}
