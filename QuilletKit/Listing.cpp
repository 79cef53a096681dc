#include "QuilletKit/Listing.hpp"

namespace quillet {

using nlohmann::ordered_json;

nlohmann::ordered_json Listing::meeting(const Meeting& meeting) {
  const MeetingMeta& meta = meeting.meta;
  ordered_json j;
  j["folder"] = meeting.folder.string();
  j["id"] = meta.id.string();
  j["title"] = meta.title;
  j["start"] = formatISO8601(meta.start);
  if (meta.end) j["end"] = formatISO8601(*meta.end);
  j["language"] = meta.language.rawValue;
  if (meta.app) j["app"] = *meta.app;
  j["attendees"] = meta.attendees;
  j["segments"] = meeting.segments.size();
  j["enhanced"] = meeting.enhanced.has_value();
  return j;
}

nlohmann::ordered_json Listing::hit(const Search::Hit& hit) {
  static const char* const places[] = {"title", "notes", "enhanced", "transcript"};
  ordered_json j;
  j["folder"] = hit.meeting->folder.string();
  j["id"] = hit.meeting->meta.id.string();
  j["title"] = hit.meeting->meta.title;
  j["start"] = formatISO8601(hit.meeting->meta.start);
  j["place"] = places[static_cast<int>(hit.place)];
  j["line"] = hit.line;
  if (hit.time) {
    j["time"] = *hit.time;
    j["clock"] = clock(*hit.time);
    j["speaker"] = rawValue(hit.speaker);
  }
  return j;
}

nlohmann::ordered_json Listing::event(const CalendarEvent& event) {
  ordered_json j;
  j["id"] = event.id;
  j["title"] = event.title;
  j["start"] = formatISO8601(event.start);
  j["end"] = formatISO8601(event.end);
  j["attendees"] = event.attendees;
  if (event.videoURL) j["videoURL"] = *event.videoURL;
  j["calendar"] = event.calendar;
  return j;
}

std::string Listing::line(const nlohmann::ordered_json& value) {
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace quillet
