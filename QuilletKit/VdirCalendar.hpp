#pragma once
// The calendar store on Linux: vdir calendars, the plain-file layout that
// vdirsyncer and khal keep. Under the root ($XDG_DATA_HOME/calendars) each
// folder is one calendar (identifier = folder name, title = its "displayname"
// file or the folder name) holding one ".ics" file per event. Access is full
// when the root exists and can be read.
//
// Events are read with libical; repeating ones are expanded inside the asked
// window (RRULE, RDATE, EXDATE and moved occurrences), and their occurrences
// share one copy of the event's text. Expansion is bounded per event and per
// read, far above any real calendar: past the bounds the latest occurrences of
// the events with the most are left out, so that a few rules repeating every
// second cannot crowd out the other meetings. A TZID that names a Windows zone
// without a VTIMEZONE is read as the IANA zone that ICU maps it to. The current
// user is the participant whose address is $EMAIL. Files that cannot be read or
// parsed, and events whose start or end is no real date-time, are skipped.
// Changes are seen through GIO file monitors on the main context, gathered into
// one notification per burst of file events; a root that does not exist yet is
// noticed within seconds of its creation. Main thread only.
#include <filesystem>
#include <string>

#include "QuilletKit/CalendarWatcher.hpp"

namespace quillet {

class VdirCalendarStore : public CalendarEventSource {
 public:
  explicit VdirCalendarStore(std::filesystem::path root = defaultRoot(),
                             std::shared_ptr<MainContext> context = MainContext::main());

  // $XDG_DATA_HOME/calendars
  static std::filesystem::path defaultRoot();
  static bool isAuthorized(const std::filesystem::path& root);

  bool isAuthorized() override { return isAuthorized(root_); }
  // Nothing to ask on Linux: the answer is whether the root can be read.
  bool requestAccess() override { return isAuthorized(); }
  // In the order of the folder names.
  std::vector<CalendarInfo> calendars() override;
  std::vector<CalendarItem> events(Date from, Date to,
                                   const std::optional<std::vector<CalendarInfo>>& calendars) override;
  std::unique_ptr<Registration> observeChanges(std::function<void()> onChange) override;

  // The events of one iCalendar text overlapping [from, to), for tests and
  // for the store itself. `fallbackIdentifier` stands for a missing UID.
  static std::vector<CalendarItem> parse(const std::string& ics, Date from, Date to,
                                         const std::string& fallbackIdentifier);

 private:
  std::filesystem::path root_;
  std::shared_ptr<MainContext> context_;
};

}  // namespace quillet
