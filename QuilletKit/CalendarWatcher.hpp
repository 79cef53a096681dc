#pragma once
// The user's upcoming timed meetings from the calendar store, each with its
// join link when one is found, and a call one minute before each starts.
//
// CalendarEvent is a plain value. CalendarWatcher lives on the main thread
// (the GLib default main context): its store observer and its timer are
// sources there and its handlers are called there; it takes no locks. Make
// it with make(); callbacks that it registers hold it weakly, and its
// registrations end when it is destroyed. Calendar trouble is never an
// error: without access the list is simply empty.
//
// The store and the main context are seams: the real ones are the vdir
// calendars (VdirCalendar.hpp) and GLib's default main context; tests give
// substitutes. The announcement timer follows the wall clock, so it fires
// on time even when the machine slept until just before a meeting.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "QuilletKit/Dates.hpp"
#include "QuilletKit/MainContext.hpp"

namespace quillet {

struct CalendarEvent {
  std::string id;  // item identifier "@" start in whole seconds since 1970
  std::string title;
  Date start;
  Date end;
  std::vector<std::string> attendees;  // never the current user
  std::optional<std::string> videoURL;
  std::string calendar;  // the calendar's title, or empty

  // From five minutes before the start until just before the end.
  bool isNow(Date at) const;
  bool isNow() const;

  friend bool operator==(const CalendarEvent&, const CalendarEvent&) = default;
};

// ---- The store seam ----

struct CalendarParticipant {
  std::string name;
  std::string url;  // "mailto:ana@example.com"
  bool isCurrentUser = false;
};

// The text of one event. A repeating event's occurrences all point to one
// copy of it, so that a long description is held once, not once per occurrence.
struct CalendarItemText {
  std::string identifier;
  std::string title;
  std::optional<std::string> url;
  std::optional<std::string> location;
  std::optional<std::string> notes;
  std::vector<CalendarParticipant> attendees;
  std::optional<std::string> calendarTitle;
};

// One event, or one occurrence of a repeating one, as the store holds it.
struct CalendarItem {
  std::shared_ptr<const CalendarItemText> text = std::make_shared<const CalendarItemText>();  // never null
  Date start;
  Date end;
  bool allDay = false;
  bool cancelled = false;
};

struct CalendarInfo {
  std::string id;
  std::string title;
  friend bool operator==(const CalendarInfo&, const CalendarInfo&) = default;
};

class CalendarEventSource {
 public:
  virtual ~CalendarEventSource() = default;
  // Whether the store may be read in full.
  virtual bool isAuthorized() = 0;
  virtual bool requestAccess() = 0;
  // Every event calendar, in the store's order.
  virtual std::vector<CalendarInfo> calendars() = 0;
  // The events and occurrences overlapping [from, to), from the given
  // calendars or, without a selection, from all of them.
  virtual std::vector<CalendarItem> events(Date from, Date to,
                                           const std::optional<std::vector<CalendarInfo>>& calendars) = 0;
  // Calls `onChange` on the main context after each change of the store.
  virtual std::unique_ptr<Registration> observeChanges(std::function<void()> onChange) = 0;
};

// ---- The watcher ----

class CalendarWatcher : public std::enable_shared_from_this<CalendarWatcher> {
  struct Key {};

 public:
  // On the vdir calendars and the main context; nothing is read yet.
  static std::shared_ptr<CalendarWatcher> make();
  static std::shared_ptr<CalendarWatcher> make(std::shared_ptr<CalendarEventSource> source,
                                               std::shared_ptr<MainContext> context);
  CalendarWatcher(Key, std::shared_ptr<CalendarEventSource> source, std::shared_ptr<MainContext> context);

  // Whether the vdir calendars may be read. Needs no main loop.
  static bool isAuthorized();
  bool requestAccess();

  // Observes store changes and refreshes; a second call does nothing.
  void start();
  // Ends observing and the pending timer; the list and `notified` stay.
  void stop();
  // Reads the calendar now, also after `calendarIDs` changed.
  void refresh();

  // (identifier, title) of every event calendar, by title; ties keep the store's order.
  std::vector<std::pair<std::string, std::string>> calendars();
  // The first upcoming event that isNow(at).
  std::optional<CalendarEvent> current(Date at) const;
  // Sorted by start.
  const std::vector<CalendarEvent>& upcoming() const { return upcoming_; }
  // Identifiers of the events announced as starting soon.
  const std::set<std::string>& notified() const { return notified_; }

  static CalendarEvent event(const CalendarItem& item);
  static std::optional<std::string> videoURL(const CalendarItem& item);

  // Calendars to read; absent means every one.
  std::optional<std::vector<std::string>> calendarIDs;
  // Called on the main context; they must not throw, since they run inside
  // its callbacks. They may call back into the watcher, even drop it.
  std::function<void(const std::vector<CalendarEvent>&)> onChange;
  std::function<void(const CalendarEvent&)> onStartingSoon;

 private:
  void scheduleNext();
  void timerFired(std::optional<CalendarEvent> chosen);
  void publish();

  std::shared_ptr<CalendarEventSource> source_;
  std::shared_ptr<MainContext> context_;
  std::unique_ptr<Registration> timer_;
  std::unique_ptr<Registration> observer_;
  std::set<std::string> notified_;
  std::vector<CalendarEvent> upcoming_;
};

}  // namespace quillet

template <>
struct std::hash<quillet::CalendarEvent> {
  size_t operator()(const quillet::CalendarEvent& e) const noexcept;
};
