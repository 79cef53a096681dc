// The vdir store: iCalendar files read with libical, folders as calendars, a watcher on the GLib main context.
#include <gtest/gtest.h>

#include <map>

#include "MainContextSupport.hpp"
#include "QuilletKit/VdirCalendar.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

Date at(const char* iso) { return *parseISO8601(iso); }

std::vector<CalendarItem> parse(const std::string& ics, const char* from = "2025-03-01T00:00:00Z",
                                const char* to = "2025-04-01T00:00:00Z") {
  return VdirCalendarStore::parse(ics, at(from), at(to), "file-stem");
}

// "<id> <start> <length> <title>[ all-day][ cancelled][ in <calendar>]", to compare items in one go.
std::vector<std::string> describe(const std::vector<CalendarItem>& items) {
  std::vector<std::string> out;
  for (const auto& i : items)
    out.push_back(i.text->identifier + " " + formatISO8601(i.start) + " " +
                  std::to_string(std::chrono::duration_cast<std::chrono::minutes>(i.end - i.start).count()) +
                  "min " + i.text->title + (i.allDay ? " all-day" : "") + (i.cancelled ? " cancelled" : "") +
                  (i.text->calendarTitle ? " in " + *i.text->calendarTitle : ""));
  return out;
}

struct VdirParsing : ::testing::Test {
  ScopedEnv env{{"TZ", "America/Sao_Paulo"}, {"EMAIL", "me@example.com"}};
  TempDir dir;
  fs::path root = dir.path() / "calendars";
};

}  // namespace

TEST_F(VdirParsing, EventsInEveryFormAreReadAndThoseWithImpossibleDatesSkipped) {
  std::string noRealDateTime;
  for (const char* times : {"DTSTART:20251301T100000Z\r\nDTEND:20250310T110000Z",   // month 13
                            "DTSTART:20250310T250000Z\r\nDTEND:20250311T020000Z",   // hour 25
                            "DTSTART:20250230T100000Z\r\nDTEND:20250230T110000Z",   // 30 February
                            "DTSTART:20250310T100000Z\r\nDTEND:20250310T106100Z"})  // minute 61
    noRealDateTime += event(std::string("UID:bad\r\n") + times + "\r\n");
  auto items = parse(calendar(
      "BEGIN:VTIMEZONE\r\nTZID:Custom Five\r\nBEGIN:STANDARD\r\nDTSTART:19700101T000000\r\n"
      "TZOFFSETFROM:+0500\r\nTZOFFSETTO:+0500\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n" +
      event("UID:utc\r\nSUMMARY:Planejamento\r\nDTSTART:20250310T130000Z\r\nDTEND:20250310T140000Z\r\n"
            "URL:https://intranet.example.com/x\r\nLOCATION:Sala 3\\, bloco B\r\n"
            "DESCRIPTION:Pauta\\nhttps://meet.google.com/abc-defg-hij e mais um texto longo que a\r\n"
            "  linha dobrada continua\r\n"
            "ATTENDEE;CN=Ana Souza;PARTSTAT=ACCEPTED:mailto:ana@example.com\r\n"
            "ATTENDEE:MAILTO:Bruno@Example.com\r\nATTENDEE;CN=Eu:mailto:ME@example.com\r\n") +
      event("UID:floating\r\nDTSTART:20250311T100000\r\nDTEND:20250311T103000\r\nSTATUS:CANCELLED\r\n") +
      event("UID:custom\r\nDTSTART;TZID=Custom Five:20250312T180000\r\nDTEND;TZID=Custom Five:20250312T190000\r\n") +
      event("SUMMARY:Sem UID\r\nDTSTART;VALUE=DATE:20250313\r\n") + event("UID:no-start\r\nSUMMARY:Broken\r\n") +
      event("UID:weekly\r\nSUMMARY:Semanal\r\nDTSTART;TZID=America/New_York:20200106T100000\r\n"
            "DTEND;TZID=America/New_York:20200106T103000\r\nRRULE:FREQ=WEEKLY;BYDAY=MO\r\n"
            "EXDATE;TZID=America/New_York:20250317T100000\r\nRDATE;TZID=America/New_York:20250312T160000\r\n") +
      event("UID:weekly\r\nSUMMARY:Semanal (mudou)\r\nRECURRENCE-ID;TZID=America/New_York:20250324T100000\r\n"
            "DTSTART;TZID=America/New_York:20250325T110000\r\nDTEND;TZID=America/New_York:20250325T113000\r\n") +
      noRealDateTime));
  auto utcAt = std::find_if(items.begin(), items.end(), [](auto& i) { return i.text->identifier == "utc"; });
  ASSERT_NE(utcAt, items.end());
  const CalendarItemText& utc = *utcAt->text;
  auto got = describe(items);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::string>{
                     "custom 2025-03-12T13:00:00Z 60min ",
                     "file-stem 2025-03-13T03:00:00Z 1440min Sem UID all-day",
                     "floating 2025-03-11T13:00:00Z 30min  cancelled",  // floating: the process's zone
                     "utc 2025-03-10T13:00:00Z 60min Planejamento",
                     "weekly 2025-03-03T15:00:00Z 30min Semanal",  // EST
                     "weekly 2025-03-10T14:00:00Z 30min Semanal",  // EDT from March 9th
                     "weekly 2025-03-12T20:00:00Z 30min Semanal",
                     "weekly 2025-03-25T15:00:00Z 30min Semanal (mudou)",
                     "weekly 2025-03-31T14:00:00Z 30min Semanal",
                 }));
  EXPECT_EQ(utc.url, "https://intranet.example.com/x");
  EXPECT_EQ(utc.location, "Sala 3, bloco B");
  EXPECT_EQ(utc.notes,
            "Pauta\nhttps://meet.google.com/abc-defg-hij e mais um texto longo que a linha dobrada continua");
  std::vector<std::string> attendees;
  for (const auto& a : utc.attendees) attendees.push_back(a.name + " " + a.url + (a.isCurrentUser ? " (me)" : ""));
  EXPECT_EQ(attendees, (std::vector<std::string>{"Ana Souza mailto:ana@example.com", " mailto:Bruno@Example.com",
                                                 "Eu mailto:ME@example.com (me)"}));
  EXPECT_TRUE(parse("not a calendar at all").empty());
}

// Each event below lasts five minutes; the window is 12:00 to 13:00 UTC on 10 March 2025.
TEST_F(VdirParsing, ZonesAndFrequentSeriesFromLongAgoGiveTheirStartsInAnHour) {
  struct Case {
    const char* lines;
    std::vector<std::string> starts;
  };
  const std::vector<std::string> everyTenMinutes{"12:00", "12:10", "12:20", "12:30", "12:40", "12:50"};
  const Case cases[] = {
      // Windows zone names without a VTIMEZONE; an unknown one is floating.
      {"DTSTART;TZID=Pacific Standard Time:20250310T050000", {"12:00"}},  // PDT since March 9th
      {"DTSTART;TZID=Nowhere Standard Time:20250310T090000", {"12:00"}},
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
  // Fifty events every second with long descriptions before one real meeting: each keeps its earliest
  // occurrences, as many as the others, all on one copy of its text.
  std::string description(10240, 'x');
  for (int n = 0; n < 50; ++n)
    writeFile(root / "work" / ("s" + std::to_string(n) + ".ics"),
              calendar(event("UID:s" + std::to_string(n) + "\r\nDTSTART:20250310T000000Z\r\nDURATION:PT1S\r\n"
                             "RRULE:FREQ=SECONDLY\r\nDESCRIPTION:" + description + "\r\n")));
  writeFile(root / "work" / "z.ics", calendar(event("UID:real\r\nDTSTART:20250310T150000Z\r\nDURATION:PT1H\r\n")));
  auto all = VdirCalendarStore(root).events(at("2025-03-10T00:00:00Z"), at("2025-03-11T15:00:00Z"), std::nullopt);
  std::map<std::string, size_t> counts;
  size_t descriptionBytes = 0;
  for (size_t k = 0; k < all.size(); ++k) {
    ++counts[all[k].text->identifier];
    if (k > 0 && all[k].text == all[k - 1].text)
      EXPECT_EQ(all[k].start, all[k - 1].start + 1s);
    else
      descriptionBytes += all[k].text->notes.value_or("").size();
  }
  EXPECT_EQ(counts["real"], 1u);
  EXPECT_EQ(counts.size(), 51u);
  EXPECT_EQ(counts["s0"], counts["s49"]);
  EXPECT_LE(all.size() * description.size(), size_t{64} << 20);
  EXPECT_EQ(descriptionBytes, 50 * description.size());  // once per event
}

TEST_F(VdirParsing, TheStoreReadsFoldersAsCalendars) {
  EXPECT_FALSE(VdirCalendarStore::isAuthorized(root));
  writeFile(root / "work" / "displayname", "Trabalho\n");
  writeFile(root / "work" / "a.ics",
            calendar(event("UID:a\r\nSUMMARY:A\r\nDTSTART:20250310T130000Z\r\nDTEND:20250310T140000Z\r\n")));
  writeFile(root / "work" / "broken.ics", "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nDTSTART:garbage\r\n");
  writeFile(root / "work" / "notes.txt", calendar(event("UID:txt\r\nDTSTART:20250310T130000Z\r\n")));
  writeFile(root / "personal" / "b.ics",
            calendar(event("UID:b\r\nDTSTART:20250311T130000Z\r\nDTEND:20250311T140000Z\r\n")));
  writeFile(root / ".hidden" / "c.ics", calendar(event("UID:c\r\nDTSTART:20250311T130000Z\r\n")));
  VdirCalendarStore store(root);
  EXPECT_TRUE(store.isAuthorized());
  EXPECT_EQ(store.calendars(), (std::vector<CalendarInfo>{{"personal", "personal"}, {"work", "Trabalho"}}));
  const Date from = at("2025-03-01T00:00:00Z"), to = at("2025-04-01T00:00:00Z");
  EXPECT_EQ(describe(store.events(from, to, std::nullopt)),
            (std::vector<std::string>{"b 2025-03-11T13:00:00Z 60min  in personal",
                                      "a 2025-03-10T13:00:00Z 60min A in Trabalho"}));
  EXPECT_TRUE(store.events(from, to, std::vector<CalendarInfo>{}).empty());
}

TEST_F(VdirParsing, TheWatcherFollowsChangesOnTheMainContext) {
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
  ASSERT_EQ(watcher->upcoming().size(), 1u);

  writeFile(root / "work" / "daily.ics", meeting("daily", "Daily renomeada", 2h));
  ASSERT_TRUE(spinUntil([&] { return refreshes == 2; }, 5s));
  EXPECT_EQ(watcher->upcoming().at(0).title, "Daily renomeada");

  // A calendar that appears the way sync tools write: to a temporary name first, then renamed into place.
  fs::create_directories(root / "home");
  writeFile(root / "home" / ".tmp-dentist", meeting("dentist", "Dentista", 5h));
  fs::rename(root / "home" / ".tmp-dentist", root / "home" / "dentist.ics");
  ASSERT_TRUE(spinUntil([&] { return watcher->upcoming().size() == 2; }, 5s));

  // Losing the store is no error: the list empties.
  fs::remove_all(root);
  ASSERT_TRUE(spinUntil([&] { return watcher->upcoming().empty(); }, 5s));
}
