#include "QuilletKit/VdirCalendar.hpp"

#include <gio/gio.h>
#include <libical/ical.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <numeric>
#include <set>

#include "QuilletKit/Files.hpp"
#include "QuilletKit/Paths.hpp"
#include "QuilletKit/Text.hpp"

namespace quillet {

namespace fs = std::filesystem;

namespace {

// Bounds on what expanding repeating events may cost, far above what any
// real calendar asks for: in the 39 hours that the watcher reads, a meeting
// every five minutes has 468 occurrences. What is over them is left out,
// the latest occurrences first.
constexpr size_t kMaxOccurrencesPerEvent = 1000;
// What one occurrence costs once it is an item and then a CalendarEvent,
// besides the text that each copy of it carries.
constexpr size_t kOccurrenceBytes = 1024;
constexpr size_t kMaxBytesPerEvent = size_t{4} << 20;
constexpr size_t kMaxBytesPerRead = size_t{16} << 20;
// libical's steps through one rule, each a few microseconds: a weekly
// meeting followed from 1990 takes under two thousand.
constexpr int kMaxRecurrenceSteps = 20000;

std::optional<std::string> nonEmpty(const char* text) {
  if (!text || !*text) return std::nullopt;
  return std::string(text);
}

std::string lowerASCII(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// URL schemes are case-insensitive; clients write "MAILTO:" as often as "mailto:".
std::string normalisedMailto(std::string url) {
  if (url.size() >= 7 && lowerASCII(url.substr(0, 7)) == "mailto:") url.replace(0, 7, "mailto:");
  return url;
}

// ---- Times ----

struct Zone {
  icaltimezone* zone = nullptr;  // null: floating, read in the process's time zone
};

// Outlook and Exchange name zones the Windows way ("Pacific Standard Time")
// and often leave out the VTIMEZONE that would define them.
icaltimezone* windowsZone(const char* tzid) {
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString iana;
  icu::TimeZone::getIDForWindowsID(icu::UnicodeString::fromUTF8(tzid), nullptr, iana, status);
  if (U_FAILURE(status) || iana.isEmpty()) return nullptr;
  std::string id;
  iana.toUTF8String(id);
  return icaltimezone_get_builtin_timezone(id.c_str());
}

Zone zoneOf(icalproperty* property, icalcomponent* calendar, Zone fallback = {}) {
  const char* tzid = icalproperty_get_parameter_as_string(property, "TZID");
  if (!tzid) return fallback;
  if (calendar)
    if (icaltimezone* z = icalcomponent_get_timezone(calendar, tzid)) return {z};
  if (icaltimezone* z = icaltimezone_get_builtin_timezone(tzid)) return {z};
  if (icaltimezone* z = icaltimezone_get_builtin_timezone_from_tzid(tzid)) return {z};
  if (icaltimezone* z = windowsZone(tzid)) return {z};
  return fallback;
}

// libical takes month 13, hour 25 and February 30 as they are written.
bool isValid(const icaltimetype& t) {
  if (icaltime_is_null_time(t) || t.year < 1 || t.year > 9999 || t.month < 1 || t.month > 12) return false;
  if (t.day < 1 || t.day > icaltime_days_in_month(t.month, t.year)) return false;
  return t.is_date || (t.hour >= 0 && t.hour < 24 && t.minute >= 0 && t.minute < 60 && t.second >= 0 &&
                       t.second <= 60);  // 60: a leap second
}

time_t localTime(const icaltimetype& t, bool midnight) {
  std::tm tm{};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = midnight ? 0 : t.hour;
  tm.tm_min = midnight ? 0 : t.minute;
  tm.tm_sec = midnight ? 0 : t.second;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

time_t toTime(const icaltimetype& t, Zone zone) {
  if (t.is_date) return localTime(t, true);
  if (icaltime_is_utc(t)) return icaltime_as_timet(t);
  if (zone.zone) return icaltime_as_timet_with_zone(t, zone.zone);
  return localTime(t, false);
}

Date toDate(time_t t) { return Date(std::chrono::seconds(t)); }

// The wall-clock fields at a moment, in the same form as `like`: UTC,
// in the event's zone, or floating in the process's zone.
icaltimetype fieldsAt(time_t t, const icaltimetype& like, Zone zone) {
  if (icaltime_is_utc(like)) return icaltime_from_timet_with_zone(t, 0, icaltimezone_get_utc_timezone());
  if (zone.zone) {
    icaltimetype fields = icaltime_from_timet_with_zone(t, 0, zone.zone);
    fields.zone = like.zone;
    return fields;
  }
  std::tm tm = quillet::localTime(toDate(t));
  icaltimetype fields = icaltime_null_time();
  fields.year = tm.tm_year + 1900;
  fields.month = tm.tm_mon + 1;
  fields.day = tm.tm_mday;
  fields.hour = tm.tm_hour;
  fields.minute = tm.tm_min;
  fields.second = tm.tm_sec;
  return fields;
}

// Wall-clock fields counted as seconds on one even scale, whatever the zone.
int64_t fieldSeconds(const icaltimetype& t) {
  using namespace std::chrono;
  int64_t days = sys_days(year_month_day(year(t.year), month(static_cast<unsigned>(t.month)),
                                         day(static_cast<unsigned>(t.day))))
                     .time_since_epoch()
                     .count();
  return days * 86400 + (t.is_date ? 0 : t.hour * 3600 + t.minute * 60 + t.second);
}

icaltimetype advanced(icaltimetype t, int64_t seconds) {
  icaltime_adjust(&t, static_cast<int>(seconds / 86400), 0, 0, static_cast<int>(seconds % 86400));
  return t;
}

// ---- Repeating rules ----

bool hasDateFilters(const icalrecurrencetype& r) {
  return r.by_month_day[0] != ICAL_RECURRENCE_ARRAY_MAX || r.by_year_day[0] != ICAL_RECURRENCE_ARRAY_MAX ||
         r.by_week_no[0] != ICAL_RECURRENCE_ARRAY_MAX || r.by_month[0] != ICAL_RECURRENCE_ARRAY_MAX ||
         r.by_set_pos[0] != ICAL_RECURRENCE_ARRAY_MAX;
}

bool hasFilters(const icalrecurrencetype& r) {
  return hasDateFilters(r) || r.by_second[0] != ICAL_RECURRENCE_ARRAY_MAX ||
         r.by_minute[0] != ICAL_RECURRENCE_ARRAY_MAX || r.by_hour[0] != ICAL_RECURRENCE_ARRAY_MAX ||
         r.by_day[0] != ICAL_RECURRENCE_ARRAY_MAX;
}

// The wall-clock length of the rule's period, or 0 when periods differ in
// length (months, years, other calendar scales).
int64_t fixedPeriod(const icalrecurrencetype& r, const icaltimetype& first) {
  if (r.rscale && *r.rscale) return 0;
  int64_t unit = 0;
  switch (r.freq) {
    case ICAL_SECONDLY_RECURRENCE: unit = 1; break;
    case ICAL_MINUTELY_RECURRENCE: unit = 60; break;
    case ICAL_HOURLY_RECURRENCE: unit = 3600; break;
    case ICAL_DAILY_RECURRENCE: unit = 86400; break;
    case ICAL_WEEKLY_RECURRENCE: unit = 7 * 86400; break;
    default: return 0;
  }
  if (first.is_date && unit < 86400) return 0;
  return unit * std::max<int64_t>(1, r.interval);
}

// ---- One VEVENT ----

struct EventData {
  icalcomponent* event;
  icalcomponent* calendar;
  std::shared_ptr<CalendarItemText> text;
  bool allDay = false;
  bool cancelled = false;
  icaltimetype first;  // DTSTART as written
  time_t start = 0;
  long duration = 0;
  Zone zone;
};

std::vector<CalendarParticipant> participants(icalcomponent* event) {
  const char* email = std::getenv("EMAIL");
  std::string me = email ? lowerASCII(email) : "";
  std::vector<CalendarParticipant> out;
  for (icalproperty* p = icalcomponent_get_first_property(event, ICAL_ATTENDEE_PROPERTY); p;
       p = icalcomponent_get_next_property(event, ICAL_ATTENDEE_PROPERTY)) {
    CalendarParticipant participant;
    participant.url = normalisedMailto(icalproperty_get_attendee(p) ? icalproperty_get_attendee(p) : "");
    if (const char* cn = icalproperty_get_parameter_as_string(p, "CN")) participant.name = cn;
    std::string address = participant.url.rfind("mailto:", 0) == 0 ? participant.url.substr(7) : participant.url;
    participant.isCurrentUser = !me.empty() && lowerASCII(address) == me;
    out.push_back(std::move(participant));
  }
  return out;
}

// An event whose start or end is no real date-time is skipped whole: read as
// written, it would start in 1969 or on another day than the one meant.
std::optional<EventData> readEvent(icalcomponent* event, icalcomponent* calendar, const std::string& fallbackId,
                                   const std::optional<std::string>& calendarTitle) {
  icalproperty* dtstart = icalcomponent_get_first_property(event, ICAL_DTSTART_PROPERTY);
  if (!dtstart) return std::nullopt;
  EventData d{event, calendar, std::make_shared<CalendarItemText>(), false, false, {}, 0, 0, {}};
  d.first = icalproperty_get_dtstart(dtstart);
  if (!isValid(d.first)) return std::nullopt;
  d.zone = zoneOf(dtstart, calendar);
  d.start = toTime(d.first, d.zone);
  if (icalproperty* dtend = icalcomponent_get_first_property(event, ICAL_DTEND_PROPERTY)) {
    icaltimetype end = icalproperty_get_dtend(dtend);
    if (!isValid(end)) return std::nullopt;
    d.duration = static_cast<long>(toTime(end, zoneOf(dtend, calendar, d.zone)) - d.start);
  } else if (icalproperty* duration = icalcomponent_get_first_property(event, ICAL_DURATION_PROPERTY)) {
    d.duration = icaldurationtype_as_int(icalproperty_get_duration(duration));
  } else if (d.first.is_date) {
    d.duration = 86400;
  }
  d.duration = std::max(0L, d.duration);
  d.allDay = d.first.is_date != 0;
  d.cancelled = icalcomponent_get_status(event) == ICAL_STATUS_CANCELLED;

  CalendarItemText& text = *d.text;
  text.identifier = nonEmpty(icalcomponent_get_uid(event)).value_or(fallbackId);
  text.title = nonEmpty(icalcomponent_get_summary(event)).value_or("");
  if (icalproperty* url = icalcomponent_get_first_property(event, ICAL_URL_PROPERTY))
    text.url = nonEmpty(icalproperty_get_url(url));
  text.location = nonEmpty(icalcomponent_get_location(event));
  text.notes = nonEmpty(icalcomponent_get_description(event));
  text.attendees = participants(event);
  text.calendarTitle = calendarTitle;
  return d;
}

std::set<time_t> times(const EventData& d, icalproperty_kind kind) {
  std::set<time_t> out;
  for (icalproperty* p = icalcomponent_get_first_property(d.event, kind); p;
       p = icalcomponent_get_next_property(d.event, kind)) {
    Zone zone = zoneOf(p, d.calendar, d.zone);
    icaltimetype t = icaltime_null_time();
    if (kind == ICAL_EXDATE_PROPERTY) t = icalproperty_get_exdate(p);
    if (kind == ICAL_RDATE_PROPERTY) {
      icaldatetimeperiodtype value = icalproperty_get_rdate(p);
      t = icaltime_is_null_time(value.time) ? value.period.start : value.time;
    }
    if (isValid(t)) out.insert(toTime(t, zone));
  }
  return out;
}

bool overlaps(time_t start, long duration, time_t from, time_t to) {
  if (start >= to) return false;
  return duration > 0 ? start + duration > from : start >= from;
}

// Adds to `starts` the occurrences of one rule that overlap [from, to),
// earliest first, up to the bound.
class RuleExpansion {
 public:
  RuleExpansion(const EventData& d, time_t from, time_t to, std::set<time_t>& starts)
      : d_(d), from_(from), to_(to), starts_(starts) {}

  void run(icalrecurrencetype rule) {
    icaltimetype first = d_.first;
    const int64_t period = fixedPeriod(rule, first);
    if (period == 0) return iterate(rule, first);
    // Periods of a fixed length can start next to the window instead of at
    // DTSTART, years back: a series every ten minutes since 2020 has a
    // quarter of a million steps before today. Moving by whole periods keeps
    // the set of occurrences. The margin covers an hour repeated when clocks
    // go back.
    const int64_t margin = std::min<int64_t>(3600, 16 * period);
    const int64_t gap = fieldSeconds(fieldsAt(from_ - d_.duration - margin, first, d_.zone)) - fieldSeconds(first);
    if (!hasFilters(rule)) {
      if (gap > 0) {
        int64_t skipped = gap / period;
        if (rule.count > 0) {
          if (skipped >= rule.count) return;
          rule.count -= static_cast<int>(skipped);
        }
        first = advanced(first, skipped * period);
      }
      return stepThrough(rule, first, period);
    }
    // libical picks up its filters from DTSTART's time of day and weekday, so
    // a start moved for it keeps both; filters on dates, and a COUNT, have to
    // be followed from the first occurrence.
    if (rule.count == 0 && !hasDateFilters(rule) && gap > 0) {
      const int64_t cycle = std::lcm(period, int64_t{7 * 86400});
      first = advanced(first, gap / cycle * cycle);
    }
    // libical tries each period on the way, one to a step.
    if ((to_ - toTime(first, d_.zone)) / period > kMaxRecurrenceSteps) return;
    iterate(rule, first);
  }

 private:
  // Every period is an occurrence: no need to ask libical, whose every step
  // costs microseconds.
  void stepThrough(const icalrecurrencetype& rule, const icaltimetype& first, int64_t period) {
    std::optional<time_t> until;
    if (!icaltime_is_null_time(rule.until) && isValid(rule.until))
      until = toTime(rule.until, d_.zone) + (rule.until.is_date ? 86399 : 0);
    size_t added = 0;
    for (int64_t n = 0; n < kMaxRecurrenceSteps && (rule.count == 0 || n < rule.count); ++n) {
      time_t start = toTime(advanced(first, n * period), d_.zone);
      if (start >= to_ || (until && start > *until)) break;
      if (add(start) && ++added >= kMaxOccurrencesPerEvent) break;
    }
  }

  void iterate(icalrecurrencetype rule, const icaltimetype& first) {
    // libical tries every candidate between two occurrences; a rule that
    // stops at the window cannot look for a match for years.
    icaltimetype end = fieldsAt(to_ + 3600, first, d_.zone);
    end.is_date = first.is_date;
    if (rule.count == 0 && (icaltime_is_null_time(rule.until) || !isValid(rule.until) ||
                            toTime(rule.until, d_.zone) > toTime(end, d_.zone)))
      rule.until = end;
    icalrecur_iterator* it = icalrecur_iterator_new(rule, first);
    if (!it) return;
    size_t added = 0;
    for (int step = 0; step < kMaxRecurrenceSteps; ++step) {
      icaltimetype next = icalrecur_iterator_next(it);
      if (icaltime_is_null_time(next)) break;
      next.is_date = first.is_date;
      time_t start = toTime(next, d_.zone);
      if (start >= to_) break;
      if (add(start) && ++added >= kMaxOccurrencesPerEvent) break;
    }
    icalrecur_iterator_free(it);
  }

  bool add(time_t start) {
    if (!overlaps(start, d_.duration, from_, to_)) return false;
    starts_.insert(start);
    return true;
  }

  const EventData& d_;
  time_t from_, to_;
  std::set<time_t>& starts_;
};

// The starts of the occurrences of an event that overlap [from, to), earliest
// first and at most kMaxOccurrencesPerEvent of them, leaving out `skip`.
std::vector<time_t> occurrenceStarts(const EventData& d, time_t from, time_t to, const std::set<time_t>& skip) {
  std::set<time_t> starts;
  if (overlaps(d.start, d.duration, from, to)) starts.insert(d.start);
  RuleExpansion expansion(d, from, to, starts);
  for (icalproperty* p = icalcomponent_get_first_property(d.event, ICAL_RRULE_PROPERTY); p;
       p = icalcomponent_get_next_property(d.event, ICAL_RRULE_PROPERTY))
    expansion.run(icalproperty_get_rrule(p));
  for (time_t t : times(d, ICAL_RDATE_PROPERTY))
    if (overlaps(t, d.duration, from, to)) starts.insert(t);
  for (time_t t : times(d, ICAL_EXDATE_PROPERTY)) starts.erase(t);
  std::vector<time_t> out;
  for (time_t t : starts) {
    if (out.size() == kMaxOccurrencesPerEvent) break;
    if (!skip.contains(t)) out.push_back(t);
  }
  return out;
}

// ---- Occurrences within bounds ----

// The occurrences of one event inside the window, earliest first.
struct Occurrences {
  std::shared_ptr<const CalendarItemText> text;
  bool allDay = false;
  bool cancelled = false;
  long duration = 0;
  std::vector<time_t> starts;
  size_t cost = 0;  // bytes per occurrence
};

// Each occurrence carries copies of the identifier, title, attendees,
// calendar title and join link on its way to the watcher's list; the link
// is at most as long as the longest text that it can come from.
size_t occurrenceCost(const CalendarItemText& t) {
  auto size = [](const std::optional<std::string>& s) { return s ? s->size() : 0; };
  size_t bytes = kOccurrenceBytes + 2 * t.identifier.size() + t.title.size() + size(t.calendarTitle) +
                 std::max({size(t.url), size(t.location), size(t.notes)});
  for (const auto& p : t.attendees) bytes += p.name.size() + p.url.size() + sizeof p;
  return bytes;
}

// Keeps the earliest occurrences of every event within `budget` bytes. The
// events share it evenly: each keeps as many as the others, up to what it
// has, and at least one; so a few events with thousands of occurrences
// cannot crowd out the rest.
void keepWithin(std::vector<Occurrences>& events, size_t budget) {
  auto total = [&events](size_t each) {
    size_t bytes = 0;
    for (const auto& e : events) bytes += std::min(e.starts.size(), each) * e.cost;
    return bytes;
  };
  size_t most = 0;
  for (const auto& e : events) most = std::max(most, e.starts.size());
  if (total(most) <= budget) return;
  size_t low = 1, high = most;
  while (low < high) {
    size_t middle = low + (high - low + 1) / 2;
    if (total(middle) <= budget)
      low = middle;
    else
      high = middle - 1;
  }
  for (auto& e : events)
    if (e.starts.size() > low) e.starts.resize(low);
}

struct Component {
  icalcomponent* c;
  explicit Component(icalcomponent* component) : c(component) {}
  ~Component() {
    if (c) icalcomponent_free(c);
  }
  Component(const Component&) = delete;
  Component& operator=(const Component&) = delete;
};

void readOccurrences(const std::string& ics, time_t from, time_t to, const std::string& fallbackIdentifier,
                     const std::optional<std::string>& calendarTitle, std::vector<Occurrences>& out) {
  Component root(icalparser_parse_string(ics.c_str()));
  if (!root.c) return;
  icalcomponent* calendar = icalcomponent_isa(root.c) == ICAL_VCALENDAR_COMPONENT ? root.c : nullptr;
  std::vector<icalcomponent*> events;
  if (calendar) {
    for (icalcomponent* e = icalcomponent_get_first_component(calendar, ICAL_VEVENT_COMPONENT); e;
         e = icalcomponent_get_next_component(calendar, ICAL_VEVENT_COMPONENT))
      events.push_back(e);
  } else if (icalcomponent_isa(root.c) == ICAL_VEVENT_COMPONENT) {
    events.push_back(root.c);
  }

  auto add = [&out](const EventData& d, std::vector<time_t> starts) {
    if (starts.empty()) return;
    Occurrences o{d.text, d.allDay, d.cancelled, d.duration, std::move(starts), occurrenceCost(*d.text)};
    size_t affordable = std::max<size_t>(1, kMaxBytesPerEvent / o.cost);
    if (o.starts.size() > affordable) o.starts.resize(affordable);
    out.push_back(std::move(o));
  };
  // Occurrences moved or changed on their own are events of their own, and
  // take the place of the occurrence that they name.
  std::map<std::string, std::set<time_t>> replaced;
  std::vector<EventData> masters;
  for (icalcomponent* e : events) {
    auto data = readEvent(e, calendar, fallbackIdentifier, calendarTitle);
    if (!data) continue;
    if (icalproperty* rid = icalcomponent_get_first_property(e, ICAL_RECURRENCEID_PROPERTY)) {
      icaltimetype original = icalproperty_get_recurrenceid(rid);
      if (!isValid(original)) continue;
      replaced[data->text->identifier].insert(toTime(original, zoneOf(rid, calendar, data->zone)));
      if (overlaps(data->start, data->duration, from, to)) add(*data, {data->start});
    } else {
      masters.push_back(std::move(*data));
    }
  }
  for (const auto& d : masters) add(d, occurrenceStarts(d, from, to, replaced[d.text->identifier]));
}

std::vector<CalendarItem> items(const std::vector<Occurrences>& events) {
  std::vector<CalendarItem> out;
  size_t count = 0;
  for (const auto& e : events) count += e.starts.size();
  out.reserve(count);
  for (const auto& e : events)
    for (time_t start : e.starts) out.push_back({e.text, toDate(start), toDate(start + e.duration), e.allDay, e.cancelled});
  return out;
}

}  // namespace

// ---- Reading ----

std::vector<CalendarItem> VdirCalendarStore::parse(const std::string& ics, Date from, Date to,
                                                   const std::string& fallbackIdentifier) {
  std::vector<Occurrences> events;
  readOccurrences(ics, from.time_since_epoch().count(), to.time_since_epoch().count(), fallbackIdentifier,
                  std::nullopt, events);
  keepWithin(events, kMaxBytesPerRead);
  return items(events);
}

fs::path VdirCalendarStore::defaultRoot() { return paths::dataHome() / "calendars"; }

VdirCalendarStore::VdirCalendarStore(fs::path root, std::shared_ptr<MainContext> context)
    : root_(std::move(root)), context_(std::move(context)) {}

bool VdirCalendarStore::isAuthorized(const fs::path& root) {
  std::error_code ec;
  return fs::is_directory(root, ec) && ::access(root.c_str(), R_OK | X_OK) == 0;
}

static std::vector<fs::path> sortedEntries(const fs::path& folder, bool folders) {
  std::vector<fs::path> out;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.empty() || name[0] == '.') continue;
    std::error_code kind;
    if (folders ? it->is_directory(kind) : (it->path().extension() == ".ics" && it->is_regular_file(kind)))
      out.push_back(it->path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<CalendarInfo> VdirCalendarStore::calendars() {
  std::vector<CalendarInfo> out;
  for (const auto& folder : sortedEntries(root_, true)) {
    std::string id = folder.filename().string();
    std::string title;
    if (auto name = files::read(folder / "displayname")) {
      title = text::trimSpacesAndNewlines(*name);
      title = title.substr(0, title.find('\n'));
    }
    out.push_back({id, title.empty() ? id : title});
  }
  return out;
}

std::vector<CalendarItem> VdirCalendarStore::events(Date from, Date to,
                                                    const std::optional<std::vector<CalendarInfo>>& selection) {
  if (!isAuthorized()) return {};
  std::vector<Occurrences> events;
  for (const auto& calendar : selection ? *selection : calendars()) {
    for (const auto& file : sortedEntries(root_ / calendar.id, false)) {
      auto bytes = files::read(file);
      if (!bytes) continue;
      readOccurrences(*bytes, from.time_since_epoch().count(), to.time_since_epoch().count(),
                      file.stem().string(), calendar.title, events);
    }
  }
  keepWithin(events, kMaxBytesPerRead);
  return items(events);
}

// ---- Watching ----

namespace {

// File events come in bursts (a write is a change and a close; a sync
// rewrites many files): they are gathered for a moment into one call.
constexpr std::chrono::milliseconds kSettle{200};

class VdirMonitor : public Registration {
 public:
  VdirMonitor(fs::path root, std::shared_ptr<MainContext> context, std::function<void()> onChange)
      : root_(std::move(root)), context_(std::move(context)), onChange_(std::move(onChange)) {
    rootMonitor_ = watch(root_);
    watchFolders();
  }

  ~VdirMonitor() override {
    release(rootMonitor_);
    for (auto& [path, monitor] : folders_) release(monitor);
  }

 private:
  GFileMonitor* watch(const fs::path& folder) {
    GFile* file = g_file_new_for_path(folder.c_str());
    GFileMonitor* monitor = g_file_monitor_directory(file, G_FILE_MONITOR_WATCH_MOVES, nullptr, nullptr);
    g_object_unref(file);
    if (monitor) g_signal_connect(monitor, "changed", G_CALLBACK(&VdirMonitor::changed), this);
    return monitor;
  }

  void release(GFileMonitor* monitor) {
    if (!monitor) return;
    g_signal_handlers_disconnect_by_data(monitor, this);
    g_file_monitor_cancel(monitor);
    g_object_unref(monitor);
  }

  // One monitor per calendar folder, following folders as they come and go.
  void watchFolders() {
    std::map<fs::path, GFileMonitor*> now;
    for (const auto& folder : sortedEntries(root_, true)) {
      auto known = folders_.find(folder);
      if (known != folders_.end()) {
        now.emplace(folder, known->second);
        folders_.erase(known);
      } else {
        now.emplace(folder, watch(folder));
      }
    }
    for (auto& [path, monitor] : folders_) release(monitor);
    folders_ = std::move(now);
  }

  static void changed(GFileMonitor*, GFile*, GFile*, GFileMonitorEvent, gpointer data) {
    auto* self = static_cast<VdirMonitor*>(data);
    self->settle_ = self->context_->after(kSettle, [self] { self->settled(); });
  }

  void settled() {
    watchFolders();
    // The handler may end this registration: nothing of it is touched after.
    auto handler = onChange_;
    handler();
  }

  fs::path root_;
  std::shared_ptr<MainContext> context_;
  std::function<void()> onChange_;
  GFileMonitor* rootMonitor_ = nullptr;
  std::map<fs::path, GFileMonitor*> folders_;
  std::unique_ptr<Registration> settle_;
};

}  // namespace

std::unique_ptr<Registration> VdirCalendarStore::observeChanges(std::function<void()> onChange) {
  return std::make_unique<VdirMonitor>(root_, context_, std::move(onChange));
}

}  // namespace quillet
