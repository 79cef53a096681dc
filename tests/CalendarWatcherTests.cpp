// The watcher against a substitute store and a clock the test moves, the conversion of events, the join links.
#include <gtest/gtest.h>

#include "MainContextSupport.hpp"
#include "QuilletKit/CalendarWatcher.hpp"

using namespace quillet;
using namespace quillet::test;
using namespace std::chrono_literals;

namespace {

const Date kNow = *parseISO8601("2025-03-10T12:00:00Z");

class FakeStore : public CalendarEventSource {
 public:
  bool authorized = true;
  std::vector<CalendarInfo> calendarList{{"work", "Trabalho"}, {"home", "Casa"}};
  std::vector<CalendarItem> items;
  Date lastFrom, lastTo;
  int queries = 0;
  std::function<void()> onChange;
  std::shared_ptr<bool> observing;

  bool isAuthorized() override { return authorized; }
  bool requestAccess() override { return authorized; }
  std::vector<CalendarInfo> calendars() override { return calendarList; }
  std::vector<CalendarItem> events(Date from, Date to, const std::optional<std::vector<CalendarInfo>>&) override {
    ++queries, lastFrom = from, lastTo = to;
    std::vector<CalendarItem> out;
    for (const auto& item : items)
      if (item.start < to && item.end > from) out.push_back(item);
    return out;
  }
  std::unique_ptr<Registration> observeChanges(std::function<void()> handler) override {
    onChange = std::move(handler);
    auto registration = std::make_unique<Alive>();
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

CalendarItem item(std::string id, std::chrono::seconds in, std::chrono::seconds length, std::string title = "") {
  CalendarItem i;
  edit(i).identifier = std::move(id);
  edit(i).title = std::move(title);
  i.start = kNow + in;
  i.end = i.start + length;
  return i;
}

struct CalendarWatcherTest : ::testing::Test {
  std::shared_ptr<FakeStore> store = std::make_shared<FakeStore>();
  std::shared_ptr<ManualMainContext> clock = std::make_shared<ManualMainContext>(kNow);
  std::shared_ptr<CalendarWatcher> watcher = CalendarWatcher::make(store, clock);
  std::vector<std::vector<CalendarEvent>> changes;
  std::vector<std::string> announced;

  void SetUp() override {
    watcher->onChange = [this](const std::vector<CalendarEvent>& list) { changes.push_back(list); };
    watcher->onStartingSoon = [this](const CalendarEvent& e) { announced.push_back(e.title); };
  }
};

}  // namespace

TEST_F(CalendarWatcherTest, RefreshKeepsTimedLiveEventsOfTheWindowInStartOrderWithTheirLinks) {
  auto allDay = item("holiday", -12h, 24h, "Feriado");
  allDay.allDay = true;
  auto cancelled = item("off", 1h, 1h, "Cancelled");
  cancelled.cancelled = true;
  auto tieA = item("tieA", 1h, 1h, "Same start A");
  edit(tieA).notes = "https://zoom.us/j/1";
  auto again = tieA;  // the next occurrence, on the same text
  again.start += 24h, again.end += 24h;
  store->items = {item("late", 2h, 30min, "Later"), item("ended", -1h, 59min, "Ended a minute ago"),
                  allDay, cancelled, tieA, again, item("running", -2h, 3h, "Running"),
                  item("far", 37h, 1h, "Too far"), item("tieB", 1h, 30min, "Same start B")};

  watcher->refresh();
  EXPECT_EQ(store->lastFrom, kNow - 3h);
  EXPECT_EQ(store->lastTo, kNow + 36h);
  std::vector<std::string> events;
  for (const auto& e : watcher->upcoming()) events.push_back(e.title + " " + e.videoURL.value_or("-"));
  EXPECT_EQ(events, (std::vector<std::string>{"Running -", "Same start A https://zoom.us/j/1", "Same start B -",
                                              "Later -", "Same start A https://zoom.us/j/1"}));
  EXPECT_EQ(changes, std::vector<std::vector<CalendarEvent>>{watcher->upcoming()});

  // Current from five minutes before the start until the end.
  const CalendarEvent& running = watcher->upcoming()[0];
  for (auto [at, now] : {std::pair{-2h - 5min - 1s, false}, {-2h - 5min, true}, {1h - 1s, true}, {1h, false}})
    EXPECT_EQ(running.isNow(kNow + at), now) << at.count();
  EXPECT_EQ(watcher->current(kNow + 1h)->title, "Same start A");
  EXPECT_FALSE(watcher->current(kNow + 30h));
  EXPECT_EQ(watcher->calendars(),
            (std::vector<std::pair<std::string, std::string>>{{"home", "Casa"}, {"work", "Trabalho"}}));  // by title
}

TEST_F(CalendarWatcherTest, AnnouncesEachEventOnceAMinuteBeforeItStarts) {
  store->items = {item("standup", 10min, 15min, "Standup"), item("soon", 40s, 30min, "First seen in its last minute")};
  watcher->start();
  auto pending = clock->pending();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].fireDate, kNow + 9min);
  EXPECT_EQ(pending[0].tolerance, 5s);

  clock->advance(9min - 1s);
  EXPECT_TRUE(announced.empty());
  clock->advance(1s);
  EXPECT_EQ(announced, std::vector<std::string>{"Standup"});
  EXPECT_TRUE(watcher->notified().contains(watcher->upcoming().at(1).id));
  // Refreshes inside the last minute do not announce it again.
  store->change();
  clock->advance(30s);
  store->change();
  EXPECT_EQ(announced.size(), 1u);

  // Moved to a later time, it is a new occurrence and is announced again.
  store->items[0].start = clock->current + 5min;
  store->items[0].end = clock->current + 20min;
  store->change();
  clock->advance(4min);
  EXPECT_EQ(announced.size(), 2u);
}

TEST_F(CalendarWatcherTest, StartStopLosingAccessAndTheWatchersEnd) {
  watcher->start();
  watcher->start();
  EXPECT_EQ(store->queries, 1);
  watcher->stop();
  EXPECT_FALSE(*store->observing);
  EXPECT_TRUE(clock->pending().empty());

  // Without access the list empties.
  store->items = {item("x", 1h, 1h)};
  watcher->start();
  ASSERT_EQ(watcher->upcoming().size(), 1u);
  store->authorized = false;
  store->change();
  EXPECT_TRUE(changes.back().empty());

  // A watcher dropped while started leaves no live registration behind.
  watcher.reset();
  EXPECT_FALSE(*store->observing);
  EXPECT_TRUE(clock->pending().empty());
}

TEST(CalendarEventConversion, AttendeesIdDefaultTitleAndCalendar) {
  CalendarItem i = item("UID-1", -3h, 1h);
  edit(i).attendees = {{"Ana Souza", "mailto:ana@example.com", false}, {"Eu", "mailto:me@example.com", true},
                       {"", "mailto:bruno@example.com", false},    {"", "", false},
                       {"", "mailto:", false},                     {"Carla", "", false}};
  CalendarEvent e = CalendarWatcher::event(i);
  EXPECT_EQ(e.id, "UID-1@1741597200");
  EXPECT_EQ(e.title, "Reunião");
  EXPECT_EQ(e.attendees, (std::vector<std::string>{"Ana Souza", "bruno@example.com", "Carla"}));
  edit(i).calendarTitle = "Trabalho";
  EXPECT_EQ(CalendarWatcher::event(i).calendar, "Trabalho");
  EXPECT_NE(std::hash<CalendarEvent>{}(e), std::hash<CalendarEvent>{}(CalendarWatcher::event(i)));
}

TEST(CalendarJoinLinks, TheSevenServicesInTheUrlFieldThenLocationThenNotes) {
  struct Case {
    std::optional<std::string> url, location, notes, found;
  };
  std::vector<Case> cases = {
      {{}, {}, "https://zoom.us/my/ana http://meet.google.com/a https://meet.google.com https://zoomXus/j/1", {}},
      {"https://intranet.example.com/agenda", "https://acme.zoom.us/j/42 ou sala 3", "https://meet.google.com/n",
       "https://acme.zoom.us/j/42"},
      // The URL field is outside text too: only the link itself is taken from it.
      {"https://acme.zoom.us/j/77 senha 1234", "https://acme.zoom.us/j/42", {}, "https://acme.zoom.us/j/77"},
      // The first text with a match decides, even when its match is no URL.
      {{}, "https://[x.zoom.us/j/1", "https://meet.google.com/n", {}},
  };
  for (const char* url : {"https://us02web.zoom.us/j/81234567890?pwd=abc", "https://meet.google.com/abc-defg-hij",
                          "https://teams.microsoft.com/l/meetup-join/19%3ameeting_N2Q%40thread.v2/0?context=%7b%7d",
                          "https://teams.live.com/meet/9312345678", "https://acme.webex.com/acme/j.php?MTID=m1234",
                          "https://whereby.com/acme-standup", "https://facetime.apple.com/join#v=1&p=AbCdEf&k=XyZ"})
    cases.push_back({{}, {}, std::string("Entrar: <") + url + ">\nSenha: 1234", url});
  for (const Case& c : cases) {
    CalendarItem i;
    edit(i) = CalendarItemText{"", "", c.url, c.location, c.notes, {}, {}};
    EXPECT_EQ(CalendarWatcher::videoURL(i), c.found) << c.location.value_or("") << c.notes.value_or("");
  }
}
