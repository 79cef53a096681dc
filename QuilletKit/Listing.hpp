#pragma once
// The JSON forms in which the tool lists things for other programs: a
// meeting of the store, a search hit, an upcoming calendar event. Keys keep
// the order given here; absent optional fields are left out; dates are ISO
// 8601 in UTC. Pure functions, any thread; text that is not UTF-8 (a folder
// name, say) is written with U+FFFD in its place, never refused.
#include <string>

#include <nlohmann/json.hpp>

#include "QuilletKit/CalendarWatcher.hpp"
#include "QuilletKit/Meeting.hpp"
#include "QuilletKit/Search.hpp"

namespace quillet {

struct Listing {
  Listing() = delete;

  // "folder", "id", "title", "start", "end", "language", "app",
  // "attendees", "segments" (their number), "enhanced" (whether it has
  // enhanced notes).
  static nlohmann::ordered_json meeting(const Meeting& meeting);
  // "folder", "id", "title", "start", "place" ("title", "notes",
  // "enhanced" or "transcript"), "line"; for the transcript also "time"
  // (seconds from the start), "clock" and "speaker" ("eu" or "outros").
  static nlohmann::ordered_json hit(const Search::Hit& hit);
  // "id", "title", "start", "end", "attendees", "videoURL", "calendar".
  static nlohmann::ordered_json event(const CalendarEvent& event);

  // One compact line of JSON.
  static std::string line(const nlohmann::ordered_json& value);
};

}  // namespace quillet
