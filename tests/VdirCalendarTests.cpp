// The vdir calendar store: iCalendar files read with libical (time zones,
// repeating events, participants), folders as calendars, and a watcher that
// runs on the GLib main context over folders that the test writes.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>
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
  EXPECT_EQ(utc.text->identifier, "utc");
  EXPECT_EQ(utc.text->title, "Planejamento");
  EXPECT_EQ(utc.start, at("2025-03-10T13:00:00Z"));
  EXPECT_EQ(utc.end, at("2025-03-10T14:00:00Z"));
  EXPECT_EQ(utc.text->url, "https://intranet.example.com/x");
  EXPECT_EQ(utc.text->location, "Sala 3, bloco B");
  EXPECT_EQ(utc.text->notes, "Pauta\nhttps://meet.google.com/abc-defg-hij e mais um texto longo que a linha dobrada continua");
  ASSERT_EQ(utc.text->attendees.size(), 3u);
  EXPECT_EQ(utc.text->attendees[0].name, "Ana Souza");
  EXPECT_EQ(utc.text->attendees[0].url, "mailto:ana@example.com");
  EXPECT_EQ(utc.text->attendees[1].url, "mailto:Bruno@Example.com");
  EXPECT_FALSE(utc.text->attendees[1].isCurrentUser);
  EXPECT_TRUE(utc.text->attendees[2].isCurrentUser);
  EXPECT_FALSE(utc.allDay || utc.cancelled);

  EXPECT_EQ(items[1].start, at("2025-03-10T13:00:00Z"));
  EXPECT_EQ(items[1].end, at("2025-03-10T13:45:00Z"));
  EXPECT_EQ(items[2].start, at("2025-03-11T13:00:00Z"));  // floating: the process's zone
  EXPECT_TRUE(items[2].cancelled);
  EXPECT_EQ(items[3].start, at("2025-03-12T13:00:00Z"));
  EXPECT_EQ(items[4].text->identifier, "file-stem");
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
  for (const auto& i : items) got.push_back(i.text->identifier + " " + formatISO8601(i.start) + " " + i.text->title);
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
  for (const auto& i : items) EXPECT_EQ(i.end - i.start, i.text->identifier == "weekly" ? 30min : 1h);
}

TEST_F(VdirParsing, EventsWhoseStartOrEndIsNoRealDateTimeAreSkipped) {
  std::string body = event("UID:good\r\nDTSTART:20250310T100000Z\r\nDTEND:20250310T110000Z\r\n");
  for (const char* times : {"DTSTART:20251301T100000Z\r\nDTEND:20250310T110000Z",   // month 13
                            "DTSTART:20250310T250000Z\r\nDTEND:20250311T020000Z",   // hour 25
                            "DTSTART:20250230T100000Z\r\nDTEND:20250230T110000Z",   // 30 February
                            "DTSTART:20250310T100000Z\r\nDTEND:20250310T106100Z",   // minute 61
                            "DTSTART;VALUE=DATE:20250332"})
    body += event(std::string("UID:bad\r\n") + times + "\r\n");
  auto items = parse(calendar(body));
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].text->identifier, "good");
}

TEST_F(VdirParsing, WindowsZoneNamesWithoutAVTimezoneAreMappedToTheirZones) {
  struct Case {
    const char* tzid;
    const char* utc;
  };
  for (const Case& c : {Case{"Pacific Standard Time", "2025-03-10T16:00:00Z"},  // PDT since March 9th
                        Case{"W. Europe Standard Time", "2025-03-10T08:00:00Z"},
                        Case{"Tokyo Standard Time", "2025-03-10T00:00:00Z"},
                        Case{"Nowhere Standard Time", "2025-03-10T12:00:00Z"}}) {  // floating: São Paulo
    auto items = parse(calendar(event(std::string("UID:w\r\nDTSTART;TZID=") + c.tzid +
                                      ":20250310T090000\r\nDURATION:PT30M\r\n")));
    ASSERT_EQ(items.size(), 1u) << c.tzid;
    EXPECT_EQ(formatISO8601(items[0].start), c.utc) << c.tzid;
  }
}

TEST_F(VdirParsing, FrequentSeriesFromLongAgoHaveTheirOccurrencesInTheWindow) {
  struct Case {
    const char* lines;
    std::vector<std::string> starts;
  };
  const std::vector<std::string> everyTenMinutes{"12:00", "12:10", "12:20", "12:30", "12:40", "12:50"};
  const Case cases[] = {
      {"DTSTART:20200101T000000Z\r\nRRULE:FREQ=MINUTELY;INTERVAL=10", everyTenMinutes},
      {"DTSTART:20200101T000000Z\r\nRRULE:FREQ=MINUTELY;INTERVAL=10;COUNT=1000000", everyTenMinutes},
      {"DTSTART:20200101T000000Z\r\nRRULE:FREQ=MINUTELY;INTERVAL=10;COUNT=10", {}},
      {"DTSTART:20200101T000000Z\r\nRRULE:FREQ=MINUTELY;INTERVAL=10;UNTIL=20250310T122000Z",
       {"12:00", "12:10", "12:20"}},
      {"DTSTART:20200101T000000Z\r\nRRULE:FREQ=MINUTELY;INTERVAL=10;BYHOUR=12;BYMINUTE=0,20,40",
       {"12:00", "12:20", "12:40"}},
      {"DTSTART:20200101T000000Z\r\nRRULE:FREQ=SECONDLY;INTERVAL=600;BYDAY=MO", everyTenMinutes},
      {"DTSTART;TZID=America/New_York:20200101T090000\r\nRRULE:FREQ=HOURLY", {"12:00"}},  // 08:00 EDT
      {"DTSTART;TZID=Europe/Berlin:19900101T130000\r\nRRULE:FREQ=DAILY", {"12:00"}},
      {"DTSTART;TZID=Europe/Berlin:19900101T130000\r\nRRULE:FREQ=WEEKLY;INTERVAL=2;BYDAY=MO,TU", {"12:00"}},
      {"DTSTART;TZID=Europe/Berlin:19900108T130000\r\nRRULE:FREQ=WEEKLY;INTERVAL=2;BYDAY=MO,TU", {}},
  };
  for (const Case& c : cases) {
    auto items = parse(calendar(event(std::string("UID:f\r\n") + c.lines + "\r\nDURATION:PT5M\r\n")),
                       "2025-03-10T12:00:00Z", "2025-03-10T13:00:00Z");
    std::vector<std::string> starts;
    for (const auto& i : items) starts.push_back(formatISO8601(i.start).substr(11, 5));
    EXPECT_EQ(starts, c.starts) << c.lines;
  }
}

TEST_F(VdirParsing, RepetitionIsBoundedWithoutCrowdingOutOtherMeetings) {
  // Every second for a day: the earliest occurrences, one after another,
  // all on one copy of the event's text.
  auto items = parse(calendar(event("UID:s\r\nDTSTART:20250310T000000Z\r\nDURATION:PT1S\r\nRRULE:FREQ=SECONDLY\r\n")),
                     "2025-03-10T00:00:00Z", "2025-03-11T00:00:00Z");
  ASSERT_GE(items.size(), 100u);
  EXPECT_LT(items.size(), 10000u);
  for (size_t k = 0; k < items.size(); ++k) {
    ASSERT_EQ(items[k].start, at("2025-03-10T00:00:00Z") + std::chrono::seconds(k));
    ASSERT_EQ(items[k].text, items[0].text);
  }

  // Fifty such events with long descriptions before one real meeting.
  TempDir dir;
  fs::path root = dir.path() / "calendars";
  std::string description(10240, 'x');
  for (int n = 0; n < 50; ++n)
    writeFile(root / "work" / ("s" + std::to_string(n) + ".ics"),
              calendar(event("UID:s" + std::to_string(n) + "\r\nDTSTART:20250310T000000Z\r\nDURATION:PT1S\r\n"
                             "RRULE:FREQ=SECONDLY\r\nDESCRIPTION:" + description + "\r\n")));
  writeFile(root / "work" / "z.ics", calendar(event("UID:real\r\nDTSTART:20250310T150000Z\r\nDURATION:PT1H\r\n")));
  auto all = VdirCalendarStore(root).events(at("2025-03-10T00:00:00Z"), at("2025-03-11T15:00:00Z"), std::nullopt);
  std::map<std::string, size_t> counts;
  size_t descriptionBytes = 0;
  const CalendarItemText* last = nullptr;
  for (const auto& i : all) {
    ++counts[i.text->identifier];
    if (i.text.get() != last) descriptionBytes += i.text->notes.value_or("").size();
    last = i.text.get();
  }
  EXPECT_EQ(counts["real"], 1u);
  EXPECT_EQ(counts.size(), 51u);
  EXPECT_EQ(counts["s0"], counts["s49"]);
  EXPECT_LE(all.size() * description.size(), size_t{64} << 20);
  EXPECT_EQ(descriptionBytes, 50 * description.size());  // once per event
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
  EXPECT_EQ(all[0].text->identifier, "b");
  EXPECT_EQ(all[1].text->calendarTitle, "Trabalho");
  auto work = store.events(at("2025-03-01T00:00:00Z"), at("2025-04-01T00:00:00Z"),
                           std::vector<CalendarInfo>{{"work", "Trabalho"}});
  ASSERT_EQ(work.size(), 1u);
  EXPECT_EQ(work[0].text->identifier, "a");
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
