// The watcher's logic against a substitute store and a clock that the test
// moves: the window and filters, sorting, announcements and wake-ups, the
// conversion of store events and the join-link search.
#include <gtest/gtest.h>

#include <map>

#include "MainContextSupport.hpp"
#include "QuilletKit/CalendarWatcher.hpp"

using namespace quillet;
using quillet::test::ManualMainContext;
using namespace std::chrono_literals;

namespace {

const Date kNow = *parseISO8601("2025-03-10T12:00:00Z");

struct Ended : Registration {
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);
  ~Ended() override { *alive = false; }
};

class FakeStore : public CalendarEventSource {
 public:
  bool authorized = true;
  std::vector<CalendarInfo> calendarList{{"work", "Trabalho"}, {"home", "Casa"}};
  std::vector<std::pair<std::string, CalendarItem>> items;  // calendar id, item
  std::optional<std::vector<CalendarInfo>> lastSelection;
  Date lastFrom, lastTo;
  int queries = 0;
  std::function<void()> onChange;
  std::shared_ptr<bool> observing;

  bool isAuthorized() override { return authorized; }
  bool requestAccess() override { return authorized; }
  std::vector<CalendarInfo> calendars() override { return calendarList; }
  std::vector<CalendarItem> events(Date from, Date to, const std::optional<std::vector<CalendarInfo>>& selection) override {
    ++queries;
    lastFrom = from;
    lastTo = to;
    lastSelection = selection;
    std::vector<CalendarItem> out;
    for (const auto& [calendar, item] : items) {
      bool chosen = !selection || std::any_of(selection->begin(), selection->end(),
                                              [&](const CalendarInfo& c) { return c.id == calendar; });
      if (chosen && item.start < to && item.end > from) out.push_back(item);
    }
    return out;
  }
  std::unique_ptr<Registration> observeChanges(std::function<void()> handler) override {
    onChange = std::move(handler);
    auto registration = std::make_unique<Ended>();
    observing = registration->alive;
    return registration;
  }
  void change() {
    if (observing && *observing) onChange();
  }
};

// The item's own text, to change.
CalendarItemText& edit(CalendarItem& i) {
  auto text = std::make_shared<CalendarItemText>(*i.text);
  i.text = text;
  return *text;
}

CalendarItem item(std::string id, Date start, std::chrono::seconds length, std::string title = "Daily") {
  CalendarItem i;
  edit(i).identifier = std::move(id);
  edit(i).title = std::move(title);
  i.start = start;
  i.end = start + length;
  return i;
}

struct CalendarWatcherTest : ::testing::Test {
  std::shared_ptr<FakeStore> store = std::make_shared<FakeStore>();
  std::shared_ptr<ManualMainContext> clock = std::make_shared<ManualMainContext>(kNow);
  std::shared_ptr<CalendarWatcher> watcher = CalendarWatcher::make(store, clock);
  std::vector<std::vector<CalendarEvent>> changes;
  std::vector<CalendarEvent> announced;

  void SetUp() override {
    watcher->onChange = [this](const std::vector<CalendarEvent>& list) { changes.push_back(list); };
    watcher->onStartingSoon = [this](const CalendarEvent& e) { announced.push_back(e); };
  }
  void add(const std::string& calendar, CalendarItem i) { store->items.emplace_back(calendar, std::move(i)); }
  std::vector<std::string> titles() const {
    std::vector<std::string> out;
    for (const auto& e : watcher->upcoming()) out.push_back(e.title);
    return out;
  }
};

}  // namespace

TEST_F(CalendarWatcherTest, RefreshKeepsTimedLiveEventsOfTheWindowInStartOrder) {
  add("work", item("late", kNow + 2h, 30min, "Later"));
  add("work", item("ended", kNow - 1h, 59min, "Ended a minute ago"));
  auto allDay = item("holiday", kNow - 12h, 24h, "Feriado");
  allDay.allDay = true;
  add("work", allDay);
  auto cancelled = item("off", kNow + 1h, 1h, "Cancelled");
  cancelled.cancelled = true;
  add("work", cancelled);
  add("home", item("running", kNow - 2h, 3h, "Running"));
  add("work", item("far", kNow + 37h, 1h, "Too far"));
  add("home", item("tieA", kNow + 1h, 1h, "Same start A"));
  add("work", item("tieB", kNow + 1h, 30min, "Same start B"));

  watcher->refresh();
  EXPECT_EQ(store->lastFrom, kNow - 10800s);
  EXPECT_EQ(store->lastTo, kNow + 129600s);
  EXPECT_FALSE(store->lastSelection.has_value());
  std::vector<std::string> expected{"Running", "Same start A", "Same start B", "Later"};
  EXPECT_EQ(titles(), expected);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0], watcher->upcoming());
}

TEST_F(CalendarWatcherTest, CalendarSelectionIsPassedInTheStoresOrder) {
  store->calendarList = {{"a", "A"}, {"b", "B"}, {"c", "C"}};
  watcher->calendarIDs = std::vector<std::string>{"c", "missing", "a"};
  watcher->refresh();
  ASSERT_TRUE(store->lastSelection.has_value());
  EXPECT_EQ(*store->lastSelection, (std::vector<CalendarInfo>{{"a", "A"}, {"c", "C"}}));
  watcher->calendarIDs = std::vector<std::string>{};
  watcher->refresh();
  ASSERT_TRUE(store->lastSelection.has_value());
  EXPECT_TRUE(store->lastSelection->empty());
}

TEST_F(CalendarWatcherTest, WithoutAccessTheListEmptiesAndNothingIsScheduled) {
  add("work", item("x", kNow + 1h, 1h));
  watcher->refresh();
  ASSERT_EQ(clock->pending().size(), 1u);
  store->authorized = false;
  watcher->refresh();
  EXPECT_TRUE(watcher->upcoming().empty());
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_TRUE(changes[1].empty());
  EXPECT_EQ(clock->timers.size(), 1u);  // no new timer; the pending one stays
  EXPECT_EQ(clock->pending().size(), 1u);

  auto fresh = CalendarWatcher::make(store, clock);
  fresh->refresh();
  EXPECT_EQ(clock->timers.size(), 1u);
}

TEST_F(CalendarWatcherTest, AnnouncesEachEventOnceAMinuteBeforeItStarts) {
  add("work", item("standup", kNow + 10min, 15min, "Standup"));
  watcher->start();
  auto pending = clock->pending();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].fireDate, kNow + 9min);
  EXPECT_EQ(pending[0].tolerance, 5s);

  clock->advance(9min - 1s);
  EXPECT_TRUE(announced.empty());
  clock->advance(1s);
  ASSERT_EQ(announced.size(), 1u);
  EXPECT_EQ(announced[0].title, "Standup");
  EXPECT_TRUE(watcher->notified().contains(announced[0].id));
  // Refreshes inside the last minute do not announce it again.
  store->change();
  clock->advance(30s);
  store->change();
  EXPECT_EQ(announced.size(), 1u);
  // With nothing left to announce the next wake-up is four hours away.
  EXPECT_EQ(clock->pending().at(0).fireDate, clock->current + 4h);

  // Moved to a later time, it is a new occurrence and is announced again.
  store->items[0].second.start = clock->current + 5min;
  store->items[0].second.end = clock->current + 20min;
  store->change();
  clock->advance(4min);
  EXPECT_EQ(announced.size(), 2u);
}

TEST_F(CalendarWatcherTest, AMachineWokenBeforeAMeetingAnnouncesIt) {
  add("work", item("standup", kNow + 10min, 15min, "Standup"));
  watcher->start();
  clock->sleep(9min + 30s);
  ASSERT_EQ(announced.size(), 1u);
  EXPECT_EQ(announced[0].title, "Standup");
}

TEST_F(CalendarWatcherTest, AnEventFirstSeenInsideItsLastMinuteIsNotAnnounced) {
  watcher->start();
  add("work", item("soon", kNow + 40s, 30min));
  store->change();
  clock->advance(2h);
  EXPECT_TRUE(announced.empty());
  EXPECT_EQ(watcher->upcoming().size(), 1u);
}

TEST_F(CalendarWatcherTest, WakesUpEveryFourHoursWhenNothingIsDue) {
  watcher->start();
  EXPECT_EQ(store->queries, 1);
  clock->advance(4h - 1s);
  EXPECT_EQ(store->queries, 1);
  clock->advance(1s);
  EXPECT_EQ(store->queries, 2);
  clock->advance(8h);
  EXPECT_EQ(store->queries, 4);
  EXPECT_EQ(clock->pending().size(), 1u);
}

TEST_F(CalendarWatcherTest, StartStopAndTheWatchersEnd) {
  watcher->start();
  watcher->start();
  EXPECT_EQ(store->queries, 1);
  add("work", item("x", kNow + 1h, 1h));
  store->change();
  EXPECT_EQ(watcher->upcoming().size(), 1u);

  watcher->stop();
  EXPECT_FALSE(*store->observing);
  EXPECT_TRUE(clock->pending().empty());
  EXPECT_EQ(watcher->upcoming().size(), 1u);
  size_t changesBefore = changes.size();
  watcher->start();
  EXPECT_EQ(changes.size(), changesBefore + 1);

  // A watcher dropped while started leaves no live registration behind.
  watcher.reset();
  EXPECT_FALSE(*store->observing);
  EXPECT_TRUE(clock->pending().empty());
}

TEST_F(CalendarWatcherTest, CurrentAndIsNowSpanFiveMinutesBeforeStartToEnd) {
  add("work", item("a", kNow + 10min, 30min, "A"));
  add("work", item("b", kNow + 12min, 30min, "B"));
  watcher->refresh();
  const CalendarEvent& a = watcher->upcoming()[0];
  EXPECT_FALSE(a.isNow(kNow + 5min - 1s));
  EXPECT_TRUE(a.isNow(kNow + 5min));
  EXPECT_TRUE(a.isNow(kNow + 40min - 1s));
  EXPECT_FALSE(a.isNow(kNow + 40min));
  EXPECT_FALSE(watcher->current(kNow).has_value());
  EXPECT_EQ(watcher->current(kNow + 8min)->title, "A");
  EXPECT_EQ(watcher->current(kNow + 41min)->title, "B");
}

TEST_F(CalendarWatcherTest, OccurrencesOfOneEventShareItsLinkAndOtherEventsKeepTheirOwn) {
  auto daily = item("daily", kNow + 1h, 30min);
  edit(daily).notes = "https://zoom.us/j/1";
  auto again = daily;
  again.start += 24h;
  again.end += 24h;
  auto review = item("review", kNow + 3h, 30min);
  edit(review).notes = "https://meet.google.com/abc";
  for (const auto& i : {daily, again, review}) add("work", i);
  watcher->refresh();
  std::vector<std::optional<std::string>> links;
  for (const auto& e : watcher->upcoming()) links.push_back(e.videoURL);
  EXPECT_EQ(links, (std::vector<std::optional<std::string>>{"https://zoom.us/j/1", "https://meet.google.com/abc",
                                                            "https://zoom.us/j/1"}));
}

TEST_F(CalendarWatcherTest, CalendarsAreSortedByTitleKeepingTheStoresOrderOnTies) {
  store->calendarList = {{"1", "trabalho"}, {"2", "Casa"}, {"3", "Zeta"}, {"4", "Casa"}};
  std::vector<std::pair<std::string, std::string>> expected{{"2", "Casa"}, {"4", "Casa"}, {"3", "Zeta"}, {"1", "trabalho"}};
  EXPECT_EQ(watcher->calendars(), expected);
}

TEST(CalendarEventConversion, AttendeesIdTitleAndCalendar) {
  CalendarItem i = item("UID-1", *parseISO8601("2025-03-10T09:00:00Z"), 1h, "");
  edit(i).attendees = {{"Ana Souza", "mailto:ana@example.com", false},
                 {"Eu", "mailto:me@example.com", true},
                 {"", "mailto:bruno@example.com", false},
                 {"", "", false},
                 {"", "mailto:", false},
                 {"Carla", "", false}};
  CalendarEvent e = CalendarWatcher::event(i);
  EXPECT_EQ(e.id, "UID-1@1741597200");
  EXPECT_EQ(e.title, "Reunião");
  EXPECT_EQ(e.attendees, (std::vector<std::string>{"Ana Souza", "bruno@example.com", "Carla"}));
  EXPECT_EQ(e.calendar, "");
  EXPECT_FALSE(e.videoURL.has_value());
  edit(i).calendarTitle = "Trabalho";
  edit(i).title = "Revisão";
  EXPECT_EQ(CalendarWatcher::event(i).calendar, "Trabalho");
  EXPECT_EQ(CalendarWatcher::event(i).title, "Revisão");
  EXPECT_NE(std::hash<CalendarEvent>{}(e), std::hash<CalendarEvent>{}(CalendarWatcher::event(i)));
}

TEST(CalendarJoinLinks, TheSevenServicesAndNothingElse) {
  auto link = [](std::string notes) {
    CalendarItem i;
    edit(i).notes = std::move(notes);
    return CalendarWatcher::videoURL(i);
  };
  for (const char* url : {"https://us02web.zoom.us/j/81234567890?pwd=abc",
                          "https://meet.google.com/abc-defg-hij",
                          "https://teams.microsoft.com/l/meetup-join/19%3ameeting_N2Q%40thread.v2/0?context=%7b%7d",
                          "https://teams.live.com/meet/9312345678",
                          "https://acme.webex.com/acme/j.php?MTID=m1234",
                          "https://whereby.com/acme-standup",
                          "https://facetime.apple.com/join#v=1&p=AbCdEf&k=XyZ"}) {
    EXPECT_EQ(link(std::string("Entrar: ") + url + "\nSenha: 1234"), url);
  }
  EXPECT_EQ(link("<https://zoom.us/j/123>"), "https://zoom.us/j/123");
  EXPECT_EQ(link("href=\"https://meet.google.com/xyz\" target"), "https://meet.google.com/xyz");
  EXPECT_FALSE(link("https://zoom.us/my/ana"));
  EXPECT_FALSE(link("http://meet.google.com/abc-defg-hij"));
  EXPECT_FALSE(link("https://meet.google.com"));
  EXPECT_FALSE(link("https://MEET.GOOGLE.COM/abc"));
  EXPECT_FALSE(link("https://zoomXus/j/1"));
  EXPECT_FALSE(link("https://[zoom.us/j/1"));  // matches, but is no URL
}

TEST(CalendarJoinLinks, UrlFieldThenLocationThenNotes) {
  CalendarItem i;
  CalendarItemText& t = edit(i);
  t.url = "https://intranet.example.com/agenda";
  t.location = "Sala 3";
  t.notes = "Link: https://meet.google.com/notes-link";
  EXPECT_EQ(CalendarWatcher::videoURL(i), "https://meet.google.com/notes-link");
  t.location = "https://acme.zoom.us/j/42 ou sala 3";
  EXPECT_EQ(CalendarWatcher::videoURL(i), "https://acme.zoom.us/j/42");
  t.url = "https://whereby.com/acme";
  EXPECT_EQ(CalendarWatcher::videoURL(i), "https://whereby.com/acme");
  // The URL field is outside text too: only the link itself is taken from it.
  t.url = "https://acme.zoom.us/j/77 senha 1234";
  EXPECT_EQ(CalendarWatcher::videoURL(i), "https://acme.zoom.us/j/77");
  // The first text with a match decides, even when its match is no URL.
  t.url.reset();
  t.location = "https://[x.zoom.us/j/1";
  EXPECT_FALSE(CalendarWatcher::videoURL(i).has_value());
}
