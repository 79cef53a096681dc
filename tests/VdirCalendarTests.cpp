// The vdir calendar store: iCalendar files read with libical (time zones,
// repeating events, participants), folders as calendars, and a watcher that
// runs on the GLib main context over folders that the test writes.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "QuilletKit/VdirCalendar.hpp"
#include "MainContextSupport.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

Date at(const char* iso) { return *parseISO8601(iso); }

std::string calendar(const std::string& body) {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Quillet tests//EN\r\n" + body + "END:VCALENDAR\r\n";
}

std::string event(const std::string& lines) { return "BEGIN:VEVENT\r\n" + lines + "END:VEVENT\r\n"; }

// "20250310T130000Z" for a date.
std::string icsTime(Date d) {
  std::string iso = formatISO8601(d);
  std::string out;
  for (char c : iso)
    if (c != '-' && c != ':') out += c;
  return out;
}

std::vector<CalendarItem> parse(const std::string& ics, const char* from = "2025-03-01T00:00:00Z",
                                const char* to = "2025-04-01T00:00:00Z") {
  return VdirCalendarStore::parse(ics, at(from), at(to), "file-stem");
}

struct TimeZone : ::testing::Test {
  void SetUp() override {
    setenv("TZ", "America/Sao_Paulo", 1);
    tzset();
    setenv("EMAIL", "me@example.com", 1);
  }
  void TearDown() override { unsetenv("EMAIL"); }
};

}  // namespace

using VdirParsing = TimeZone;

TEST_F(VdirParsing, TimesInEveryFormAndTheEventsFields) {
  auto items = parse(calendar(
      "BEGIN:VTIMEZONE\r\nTZID:Custom Five\r\nBEGIN:STANDARD\r\nDTSTART:19700101T000000\r\n"
      "TZOFFSETFROM:+0500\r\nTZOFFSETTO:+0500\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n" +
      event("UID:utc\r\nSUMMARY:Planejamento\r\nDTSTART:20250310T130000Z\r\nDTEND:20250310T140000Z\r\n"
            "URL:https://intranet.example.com/x\r\nLOCATION:Sala 3\\, bloco B\r\n"
            "DESCRIPTION:Pauta\\nhttps://meet.google.com/abc-defg-hij e mais um texto longo que a\r\n"
            "  linha dobrada continua\r\n"
            "ATTENDEE;CN=Ana Souza;PARTSTAT=ACCEPTED:mailto:ana@example.com\r\n"
            "ATTENDEE:MAILTO:Bruno@Example.com\r\nATTENDEE;CN=Eu:mailto:ME@example.com\r\n") +
      event("UID:zoned\r\nDTSTART;TZID=America/Sao_Paulo:20250310T100000\r\nDURATION:PT45M\r\n") +
      event("UID:floating\r\nDTSTART:20250311T100000\r\nDTEND:20250311T103000\r\nSTATUS:CANCELLED\r\n") +
      event("UID:custom\r\nDTSTART;TZID=Custom Five:20250312T180000\r\nDTEND;TZID=Custom Five:20250312T190000\r\n") +
      event("SUMMARY:Sem UID\r\nDTSTART;VALUE=DATE:20250313\r\n") +
      event("UID:no-start\r\nSUMMARY:Broken\r\n")));
  ASSERT_EQ(items.size(), 5u);
  const CalendarItem& utc = items[0];
  EXPECT_EQ(utc.identifier, "utc");
  EXPECT_EQ(utc.title, "Planejamento");
  EXPECT_EQ(utc.start, at("2025-03-10T13:00:00Z"));
  EXPECT_EQ(utc.end, at("2025-03-10T14:00:00Z"));
  EXPECT_EQ(utc.url, "https://intranet.example.com/x");
  EXPECT_EQ(utc.location, "Sala 3, bloco B");
  EXPECT_EQ(utc.notes, "Pauta\nhttps://meet.google.com/abc-defg-hij e mais um texto longo que a linha dobrada continua");
  ASSERT_EQ(utc.attendees.size(), 3u);
  EXPECT_EQ(utc.attendees[0].name, "Ana Souza");
  EXPECT_EQ(utc.attendees[0].url, "mailto:ana@example.com");
  EXPECT_EQ(utc.attendees[1].url, "mailto:Bruno@Example.com");
  EXPECT_FALSE(utc.attendees[1].isCurrentUser);
  EXPECT_TRUE(utc.attendees[2].isCurrentUser);
  EXPECT_FALSE(utc.allDay || utc.cancelled);

  EXPECT_EQ(items[1].start, at("2025-03-10T13:00:00Z"));
  EXPECT_EQ(items[1].end, at("2025-03-10T13:45:00Z"));
  EXPECT_EQ(items[2].start, at("2025-03-11T13:00:00Z"));  // floating: the process's zone
  EXPECT_TRUE(items[2].cancelled);
  EXPECT_EQ(items[3].start, at("2025-03-12T13:00:00Z"));
  EXPECT_EQ(items[4].identifier, "file-stem");
  EXPECT_TRUE(items[4].allDay);
  EXPECT_EQ(items[4].end - items[4].start, 24h);
  EXPECT_TRUE(parse("not a calendar at all").empty());
}

TEST_F(VdirParsing, RepeatingEventsAreExpandedInsideTheWindow) {
  auto items = parse(
      calendar(event("UID:weekly\r\nSUMMARY:Semanal\r\nDTSTART;TZID=America/New_York:20200106T100000\r\n"
                     "DTEND;TZID=America/New_York:20200106T103000\r\nRRULE:FREQ=WEEKLY;BYDAY=MO\r\n"
                     "EXDATE;TZID=America/New_York:20250317T100000\r\n"
                     "RDATE;TZID=America/New_York:20250312T160000\r\n") +
               event("UID:weekly\r\nSUMMARY:Semanal (mudou)\r\nRECURRENCE-ID;TZID=America/New_York:20250324T100000\r\n"
                     "DTSTART;TZID=America/New_York:20250325T110000\r\nDTEND;TZID=America/New_York:20250325T113000\r\n") +
               event("UID:ended\r\nDTSTART:20250101T090000Z\r\nDTEND:20250101T100000Z\r\nRRULE:FREQ=DAILY;COUNT=3\r\n") +
               event("UID:until\r\nDTSTART:20250228T090000Z\r\nDTEND:20250228T100000Z\r\n"
                     "RRULE:FREQ=DAILY;UNTIL=20250302T090000Z\r\n")),
      "2025-03-01T00:00:00Z", "2025-03-31T00:00:00Z");
  std::vector<std::string> got;
  for (const auto& i : items) got.push_back(i.identifier + " " + formatISO8601(i.start) + " " + i.title);
  std::sort(got.begin(), got.end());
  std::vector<std::string> expected{
      "until 2025-03-01T09:00:00Z ",
      "until 2025-03-02T09:00:00Z ",
      "weekly 2025-03-03T15:00:00Z Semanal",  // EST
      "weekly 2025-03-10T14:00:00Z Semanal",  // EDT from March 9th
      "weekly 2025-03-12T20:00:00Z Semanal",
      "weekly 2025-03-25T15:00:00Z Semanal (mudou)",
  };
  EXPECT_EQ(got, expected);
  for (const auto& i : items) EXPECT_EQ(i.end - i.start, i.identifier == "weekly" ? 30min : 1h);
}

TEST_F(VdirParsing, TheStoreReadsFoldersAsCalendars) {
  TempDir dir;
  fs::path root = dir.path() / "calendars";
  EXPECT_FALSE(VdirCalendarStore::isAuthorized(root));
  writeFile(root / "work" / "displayname", "Trabalho\n");
  writeFile(root / "work" / "a.ics", calendar(event("UID:a\r\nSUMMARY:A\r\nDTSTART:20250310T130000Z\r\nDTEND:20250310T140000Z\r\n")));
  writeFile(root / "work" / "broken.ics", "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nDTSTART:garbage\r\n");
  writeFile(root / "work" / "notes.txt", calendar(event("UID:txt\r\nDTSTART:20250310T130000Z\r\n")));
  writeFile(root / "personal" / "b.ics", calendar(event("UID:b\r\nDTSTART:20250311T130000Z\r\nDTEND:20250311T140000Z\r\n")));
  writeFile(root / ".hidden" / "c.ics", calendar(event("UID:c\r\nDTSTART:20250311T130000Z\r\n")));
  VdirCalendarStore store(root);
  EXPECT_TRUE(store.isAuthorized());
  EXPECT_EQ(store.calendars(), (std::vector<CalendarInfo>{{"personal", "personal"}, {"work", "Trabalho"}}));
  auto all = store.events(at("2025-03-01T00:00:00Z"), at("2025-04-01T00:00:00Z"), std::nullopt);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].identifier, "b");
  EXPECT_EQ(all[1].calendarTitle, "Trabalho");
  auto work = store.events(at("2025-03-01T00:00:00Z"), at("2025-04-01T00:00:00Z"),
                           std::vector<CalendarInfo>{{"work", "Trabalho"}});
  ASSERT_EQ(work.size(), 1u);
  EXPECT_EQ(work[0].identifier, "a");
  EXPECT_TRUE(store.events(at("2025-03-01T00:00:00Z"), at("2025-04-01T00:00:00Z"), std::vector<CalendarInfo>{}).empty());

  setenv("XDG_DATA_HOME", dir.path().c_str(), 1);
  EXPECT_TRUE(CalendarWatcher::isAuthorized());
  setenv("XDG_DATA_HOME", (dir.path() / "elsewhere").c_str(), 1);
  EXPECT_FALSE(CalendarWatcher::isAuthorized());
}

TEST_F(VdirParsing, TheWatcherFollowsChangesOnTheMainContext) {
  TempDir dir;
  fs::path root = dir.path() / "calendars";
  Date now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
  auto meeting = [&](const std::string& uid, const std::string& title, std::chrono::hours in) {
    return calendar(event("UID:" + uid + "\r\nSUMMARY:" + title + "\r\nDTSTART:" + icsTime(now + in) +
                          "\r\nDTEND:" + icsTime(now + in + 1h) + "\r\n"));
  };
  writeFile(root / "work" / "daily.ics", meeting("daily", "Daily", 2h));

  auto watcher = CalendarWatcher::make(std::make_shared<VdirCalendarStore>(root), MainContext::main());
  int refreshes = 0;
  watcher->onChange = [&](const std::vector<CalendarEvent>&) { ++refreshes; };
  watcher->start();
  ASSERT_EQ(refreshes, 1);
  ASSERT_EQ(watcher->upcoming().size(), 1u);

  // One edit of one file: exactly one refresh, with the new content.
  writeFile(root / "work" / "daily.ics", meeting("daily", "Daily renomeada", 2h));
  ASSERT_TRUE(spinUntil([&] { return refreshes == 2; }, 5s));
  spinFor(1500ms);
  EXPECT_EQ(refreshes, 2);
  EXPECT_EQ(watcher->upcoming().at(0).title, "Daily renomeada");

  // A calendar that appears, written the way sync tools write: to a
  // temporary name first, then renamed into place.
  fs::create_directories(root / "home");
  writeFile(root / "home" / ".tmp-dentist", meeting("dentist", "Dentista", 5h));
  fs::rename(root / "home" / ".tmp-dentist", root / "home" / "dentist.ics");
  ASSERT_TRUE(spinUntil([&] { return watcher->upcoming().size() == 2; }, 5s));
  fs::remove(root / "home" / "dentist.ics");
  ASSERT_TRUE(spinUntil([&] { return watcher->upcoming().size() == 1; }, 5s));

  // Losing the store is no error: the list empties.
  fs::remove_all(root);
  ASSERT_TRUE(spinUntil([&] { return watcher->upcoming().empty(); }, 5s));

  watcher->stop();
  int stopped = refreshes;
  writeFile(root / "work" / "daily.ics", meeting("daily", "Daily", 2h));
  spinFor(600ms);
  EXPECT_EQ(refreshes, stopped);
}
