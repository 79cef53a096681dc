#include "QuilletKit/CalendarWatcher.hpp"

#include <curl/curl.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <algorithm>

#include "QuilletKit/Localization.hpp"
#include "QuilletKit/VdirCalendar.hpp"

namespace quillet {

using namespace std::chrono_literals;

namespace {

constexpr auto kLookBack = 3h;
constexpr auto kLookAhead = 36h;
constexpr auto kAnnounceBefore = 60s;
constexpr auto kIdleWakeUp = 4h;
constexpr auto kTimerTolerance = 5s;
constexpr auto kEarlyJoin = 5min;

Date presentMoment() { return std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()); }

// "https://", then anything up to one of the services' join markers, then
// the rest of the link; quotes, angle brackets and white space end it.
const icu::RegexPattern* meetingLinkPattern() {
  static const icu::RegexPattern* pattern = [] {
    UErrorCode status = U_ZERO_ERROR;
    UParseError error;
    const char* source =
        "https://[^\\s<>\"]*"
        "(?:zoom\\.us/j/"
        "|meet\\.google\\.com/"
        "|teams\\.microsoft\\.com/l/meetup-join"
        "|teams\\.live\\.com/"
        "|webex\\.com/"
        "|whereby\\.com/"
        "|facetime\\.apple\\.com/)"
        "[^\\s<>\"]*";
    icu::RegexPattern* compiled = icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(source), error, status);
    return U_SUCCESS(status) ? compiled : nullptr;
  }();
  return pattern;
}

std::optional<std::string> firstMeetingLink(const std::string& text) {
  const icu::RegexPattern* pattern = meetingLinkPattern();
  if (!pattern) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString input = icu::UnicodeString::fromUTF8(text);
  std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(input, status));
  if (U_FAILURE(status) || !matcher->find(status) || U_FAILURE(status)) return std::nullopt;
  std::string match;
  matcher->group(status).toUTF8String(match);
  return match;
}

bool isValidURL(const std::string& text) {
  CURLU* url = curl_url();
  if (!url) return false;
  bool valid = curl_url_set(url, CURLUPART_URL, text.c_str(), 0) == CURLUE_OK;
  curl_url_cleanup(url);
  return valid;
}

std::string removingAll(std::string text, const std::string& what) {
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at)) text.erase(at, what.size());
  return text;
}

CalendarEvent eventWithLink(const CalendarItem& item, std::optional<std::string> link) {
  const CalendarItemText& t = *item.text;
  CalendarEvent e;
  for (const auto& p : t.attendees) {
    if (p.isCurrentUser) continue;
    std::string name = p.name.empty() ? removingAll(p.url, "mailto:") : p.name;
    if (!name.empty()) e.attendees.push_back(std::move(name));
  }
  e.id = t.identifier + "@" + std::to_string(item.start.time_since_epoch().count());
  e.title = t.title.empty() ? tr("Reunião") : t.title;
  e.start = item.start;
  e.end = item.end;
  e.videoURL = std::move(link);
  e.calendar = t.calendarTitle.value_or("");
  return e;
}

}  // namespace

// ---- CalendarEvent ----

bool CalendarEvent::isNow(Date at) const { return start - kEarlyJoin <= at && at < end; }
bool CalendarEvent::isNow() const { return isNow(presentMoment()); }

// ---- CalendarWatcher ----

std::shared_ptr<CalendarWatcher> CalendarWatcher::make() {
  return make(std::make_shared<VdirCalendarStore>(), MainContext::main());
}

std::shared_ptr<CalendarWatcher> CalendarWatcher::make(std::shared_ptr<CalendarEventSource> source,
                                                       std::shared_ptr<MainContext> context) {
  return std::make_shared<CalendarWatcher>(Key{}, std::move(source), std::move(context));
}

CalendarWatcher::CalendarWatcher(Key, std::shared_ptr<CalendarEventSource> source,
                                 std::shared_ptr<MainContext> context)
    : source_(std::move(source)), context_(std::move(context)) {}

bool CalendarWatcher::isAuthorized() { return VdirCalendarStore::isAuthorized(VdirCalendarStore::defaultRoot()); }

bool CalendarWatcher::requestAccess() {
  try {
    return source_->requestAccess();
  } catch (...) {
    return false;
  }
}

void CalendarWatcher::start() {
  if (observer_) return;
  std::weak_ptr<CalendarWatcher> weak = weak_from_this();
  observer_ = source_->observeChanges([weak] {
    if (auto self = weak.lock()) self->refresh();
  });
  refresh();
}

void CalendarWatcher::stop() {
  observer_.reset();
  timer_.reset();
}

void CalendarWatcher::refresh() {
  auto keepAlive = weak_from_this().lock();  // a handler may drop the last owner
  if (!source_->isAuthorized()) {
    upcoming_.clear();
    publish();
    return;
  }
  const Date now = context_->now();
  std::optional<std::vector<CalendarInfo>> selection;
  if (calendarIDs) {
    selection.emplace();
    for (auto& calendar : source_->calendars())
      if (std::find(calendarIDs->begin(), calendarIDs->end(), calendar.id) != calendarIDs->end())
        selection->push_back(std::move(calendar));
  }
  std::vector<CalendarEvent> events;
  // The occurrences of a repeating event come one after another and share
  // one text, so its join link is looked for once, not once per occurrence.
  const CalendarItemText* linkSource = nullptr;
  std::optional<std::string> link;
  for (const auto& item : source_->events(now - kLookBack, now + kLookAhead, selection)) {
    if (item.allDay || item.end <= now || item.cancelled) continue;
    if (item.text.get() != linkSource) {
      linkSource = item.text.get();
      link = videoURL(item);
    }
    events.push_back(eventWithLink(item, link));
  }
  std::stable_sort(events.begin(), events.end(),
                   [](const CalendarEvent& a, const CalendarEvent& b) { return a.start < b.start; });
  upcoming_ = std::move(events);
  publish();
  scheduleNext();
}

void CalendarWatcher::publish() {
  if (!onChange) return;
  auto handler = onChange;  // the handler may replace itself
  handler(std::vector<CalendarEvent>(upcoming_));
}

void CalendarWatcher::scheduleNext() {
  timer_.reset();
  const Date now = context_->now();
  std::optional<CalendarEvent> chosen;
  for (const auto& e : upcoming_)
    if (e.start - kAnnounceBefore > now && !notified_.contains(e.id)) {
      chosen = e;
      break;
    }
  Date fireDate = chosen ? chosen->start - kAnnounceBefore : now + kIdleWakeUp;
  std::weak_ptr<CalendarWatcher> weak = weak_from_this();
  timer_ = context_->at(fireDate, kTimerTolerance, [weak, chosen] {
    if (auto self = weak.lock()) self->timerFired(chosen);
  });
}

void CalendarWatcher::timerFired(std::optional<CalendarEvent> chosen) {
  auto keepAlive = shared_from_this();
  if (chosen) {
    notified_.insert(chosen->id);
    if (onStartingSoon) {
      auto handler = onStartingSoon;
      handler(*chosen);
    }
  }
  refresh();
}

std::vector<std::pair<std::string, std::string>> CalendarWatcher::calendars() {
  std::vector<std::pair<std::string, std::string>> out;
  for (auto& c : source_->calendars()) out.emplace_back(std::move(c.id), std::move(c.title));
  std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
  return out;
}

std::optional<CalendarEvent> CalendarWatcher::current(Date at) const {
  for (const auto& e : upcoming_)
    if (e.isNow(at)) return e;
  return std::nullopt;
}

CalendarEvent CalendarWatcher::event(const CalendarItem& item) { return eventWithLink(item, videoURL(item)); }

// The URL field is text from outside like the location and the notes (a
// server may put several words in it), so it goes through the same pattern.
std::optional<std::string> CalendarWatcher::videoURL(const CalendarItem& item) {
  const CalendarItemText& t = *item.text;
  for (const auto* text : {&t.url, &t.location, &t.notes}) {
    if (!*text) continue;
    if (auto link = firstMeetingLink(**text)) return isValidURL(*link) ? link : std::nullopt;
  }
  return std::nullopt;
}

}  // namespace quillet

size_t std::hash<quillet::CalendarEvent>::operator()(const quillet::CalendarEvent& e) const noexcept {
  size_t h = std::hash<std::string>{}(e.id);
  auto mix = [&h](size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); };
  mix(std::hash<std::string>{}(e.title));
  mix(std::hash<long long>{}(e.start.time_since_epoch().count()));
  mix(std::hash<long long>{}(e.end.time_since_epoch().count()));
  for (const auto& a : e.attendees) mix(std::hash<std::string>{}(a));
  mix(e.videoURL ? std::hash<std::string>{}(*e.videoURL) : 0);
  mix(std::hash<std::string>{}(e.calendar));
  return h;
}
