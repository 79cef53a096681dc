#include "QuilletKit/VdirCalendar.hpp"

#include <gio/gio.h>
#include <libical/ical.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>

#include "QuilletKit/Files.hpp"
#include "QuilletKit/Paths.hpp"
#include "QuilletKit/Text.hpp"

namespace quillet {

namespace fs = std::filesystem;

namespace {

// A weekly meeting since 1990 is under two thousand steps; the bound only
// stops a rule that repeats every second from running for ever.
constexpr int kMaxRecurrenceSteps = 200000;

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

Zone zoneOf(icalproperty* property, icalcomponent* calendar, Zone fallback = {}) {
  const char* tzid = icalproperty_get_parameter_as_string(property, "TZID");
  if (!tzid) return fallback;
  if (calendar)
    if (icaltimezone* z = icalcomponent_get_timezone(calendar, tzid)) return {z};
  if (icaltimezone* z = icaltimezone_get_builtin_timezone(tzid)) return {z};
  if (icaltimezone* z = icaltimezone_get_builtin_timezone_from_tzid(tzid)) return {z};
  return fallback;
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

// ---- One VEVENT ----

struct EventData {
  icalcomponent* event;
  icalcomponent* calendar;
  CalendarItem item;  // without start and end
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

std::optional<EventData> readEvent(icalcomponent* event, icalcomponent* calendar, const std::string& fallbackId) {
  icalproperty* dtstart = icalcomponent_get_first_property(event, ICAL_DTSTART_PROPERTY);
  if (!dtstart) return std::nullopt;
  EventData d{event, calendar, {}, 0, 0, {}};
  icaltimetype start = icalproperty_get_dtstart(dtstart);
  if (icaltime_is_null_time(start) || !icaltime_is_valid_time(start)) return std::nullopt;
  d.zone = zoneOf(dtstart, calendar);
  d.start = toTime(start, d.zone);
  if (icalproperty* dtend = icalcomponent_get_first_property(event, ICAL_DTEND_PROPERTY)) {
    d.duration = static_cast<long>(toTime(icalproperty_get_dtend(dtend), zoneOf(dtend, calendar, d.zone)) - d.start);
  } else if (icalproperty* duration = icalcomponent_get_first_property(event, ICAL_DURATION_PROPERTY)) {
    d.duration = icaldurationtype_as_int(icalproperty_get_duration(duration));
  } else if (start.is_date) {
    d.duration = 86400;
  }
  d.duration = std::max(0L, d.duration);

  CalendarItem& item = d.item;
  item.identifier = nonEmpty(icalcomponent_get_uid(event)).value_or(fallbackId);
  item.title = nonEmpty(icalcomponent_get_summary(event)).value_or("");
  item.allDay = start.is_date != 0;
  item.cancelled = icalcomponent_get_status(event) == ICAL_STATUS_CANCELLED;
  if (icalproperty* url = icalcomponent_get_first_property(event, ICAL_URL_PROPERTY))
    item.url = nonEmpty(icalproperty_get_url(url));
  item.location = nonEmpty(icalcomponent_get_location(event));
  item.notes = nonEmpty(icalcomponent_get_description(event));
  item.attendees = participants(event);
  return d;
}

std::set<time_t> times(const EventData& d, icalproperty_kind kind) {
  std::set<time_t> out;
  for (icalproperty* p = icalcomponent_get_first_property(d.event, kind); p;
       p = icalcomponent_get_next_property(d.event, kind)) {
    Zone zone = zoneOf(p, d.calendar, d.zone);
    if (kind == ICAL_EXDATE_PROPERTY) out.insert(toTime(icalproperty_get_exdate(p), zone));
    if (kind == ICAL_RDATE_PROPERTY) {
      icaldatetimeperiodtype value = icalproperty_get_rdate(p);
      icaltimetype t = icaltime_is_null_time(value.time) ? value.period.start : value.time;
      if (!icaltime_is_null_time(t)) out.insert(toTime(t, zone));
    }
  }
  return out;
}

// The starts of every occurrence of a repeating event that begin before `to`.
std::set<time_t> occurrenceStarts(const EventData& d, time_t to) {
  std::set<time_t> starts{d.start};
  icaltimetype dtstart = icalproperty_get_dtstart(icalcomponent_get_first_property(d.event, ICAL_DTSTART_PROPERTY));
  for (icalproperty* p = icalcomponent_get_first_property(d.event, ICAL_RRULE_PROPERTY); p;
       p = icalcomponent_get_next_property(d.event, ICAL_RRULE_PROPERTY)) {
    icalrecur_iterator* it = icalrecur_iterator_new(icalproperty_get_rrule(p), dtstart);
    if (!it) continue;
    for (int step = 0; step < kMaxRecurrenceSteps; ++step) {
      icaltimetype next = icalrecur_iterator_next(it);
      if (icaltime_is_null_time(next)) break;
      next.is_date = dtstart.is_date;
      time_t start = toTime(next, d.zone);
      if (start >= to) break;
      starts.insert(start);
    }
    icalrecur_iterator_free(it);
  }
  for (time_t t : times(d, ICAL_RDATE_PROPERTY))
    if (t < to) starts.insert(t);
  for (time_t t : times(d, ICAL_EXDATE_PROPERTY)) starts.erase(t);
  return starts;
}

bool overlaps(time_t start, long duration, time_t from, time_t to) {
  if (start >= to) return false;
  return duration > 0 ? start + duration > from : start >= from;
}

void addOccurrence(std::vector<CalendarItem>& out, const EventData& d, time_t start) {
  CalendarItem item = d.item;
  item.start = toDate(start);
  item.end = toDate(start + d.duration);
  out.push_back(std::move(item));
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

}  // namespace

// ---- Reading ----

std::vector<CalendarItem> VdirCalendarStore::parse(const std::string& ics, Date fromDate, Date toDate,
                                                   const std::string& fallbackIdentifier) {
  std::vector<CalendarItem> out;
  Component root(icalparser_parse_string(ics.c_str()));
  if (!root.c) return out;
  const time_t from = fromDate.time_since_epoch().count(), to = toDate.time_since_epoch().count();
  icalcomponent* calendar = icalcomponent_isa(root.c) == ICAL_VCALENDAR_COMPONENT ? root.c : nullptr;
  std::vector<icalcomponent*> events;
  if (calendar) {
    for (icalcomponent* e = icalcomponent_get_first_component(calendar, ICAL_VEVENT_COMPONENT); e;
         e = icalcomponent_get_next_component(calendar, ICAL_VEVENT_COMPONENT))
      events.push_back(e);
  } else if (icalcomponent_isa(root.c) == ICAL_VEVENT_COMPONENT) {
    events.push_back(root.c);
  }

  // Occurrences moved or changed on their own are events of their own, and
  // take the place of the occurrence that they name.
  std::map<std::string, std::set<time_t>> replaced;
  std::vector<EventData> masters;
  for (icalcomponent* e : events) {
    auto data = readEvent(e, calendar, fallbackIdentifier);
    if (!data) continue;
    if (icalproperty* rid = icalcomponent_get_first_property(e, ICAL_RECURRENCEID_PROPERTY)) {
      replaced[data->item.identifier].insert(toTime(icalproperty_get_recurrenceid(rid), zoneOf(rid, calendar, data->zone)));
      if (overlaps(data->start, data->duration, from, to)) addOccurrence(out, *data, data->start);
    } else {
      masters.push_back(std::move(*data));
    }
  }
  for (const auto& d : masters) {
    const auto& skip = replaced[d.item.identifier];
    for (time_t start : occurrenceStarts(d, to))
      if (!skip.contains(start) && overlaps(start, d.duration, from, to)) addOccurrence(out, d, start);
  }
  return out;
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
  std::vector<CalendarItem> out;
  if (!isAuthorized()) return out;
  for (const auto& calendar : selection ? *selection : calendars()) {
    for (const auto& file : sortedEntries(root_ / calendar.id, false)) {
      auto bytes = files::read(file);
      if (!bytes) continue;
      for (auto& item : parse(*bytes, from, to, file.stem().string())) {
        item.calendarTitle = calendar.title;
        out.push_back(std::move(item));
      }
    }
  }
  return out;
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
