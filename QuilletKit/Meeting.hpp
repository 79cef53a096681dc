#pragma once
// The value records of one recorded meeting and their JSON forms. All are plain
// values: cheap to copy, no shared state, safe to pass between threads.
// Decoding never throws: it answers std::nullopt for anything that does not fit.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "QuilletKit/Dates.hpp"
#include "QuilletKit/Uuid.hpp"

namespace quillet {

struct MeetingLanguage {
  std::string rawValue;

  static MeetingLanguage pt() { return {"pt-BR"}; }
  static MeetingLanguage en() { return {"en-US"}; }
  static std::vector<MeetingLanguage> all() { return {pt(), en()}; }

  const std::string& id() const { return rawValue; }
  // Language code of the locale, upper-cased ("PT"); the raw value upper-cased
  // when it names no language.
  std::string shortName() const;
  // Display name in the user's locale, capitalised; the raw value when unknown.
  std::string name() const;
  // Display name in English, for prompts; the raw value when unknown.
  std::string englishName() const;
  // ICU locale identifier made from the raw value.
  std::string locale() const;

  friend bool operator==(const MeetingLanguage&, const MeetingLanguage&) = default;
};

enum class Speaker { me, them };

// "eu" / "outros", the stored forms.
const char* rawValue(Speaker speaker);
std::optional<Speaker> speakerFromRaw(std::string_view raw);
// "Eu" / "Outros", localised for display.
std::string label(Speaker speaker);
// "Me" / "Others", for prompts; never localised.
const char* promptLabel(Speaker speaker);

struct Segment {
  Uuid id;
  Speaker speaker = Speaker::me;
  double start = 0;
  double end = 0;
  std::string text;

  friend bool operator==(const Segment&, const Segment&) = default;
};

struct MeetingMeta {
  Uuid id;
  std::string title;
  Date start;
  std::optional<Date> end;
  MeetingLanguage language;
  std::vector<std::string> attendees;
  std::optional<std::string> calendarEventID;
  std::optional<std::string> app;
  std::optional<std::string> enhancedWith;

  friend bool operator==(const MeetingMeta&, const MeetingMeta&) = default;
};

struct Meeting {
  MeetingMeta meta;
  std::filesystem::path folder;
  std::string notes;
  std::optional<std::string> enhanced;
  std::vector<Segment> segments;

  const Uuid& id() const { return meta.id; }
  friend bool operator==(const Meeting&, const Meeting&) = default;
};

// A time offset in seconds as "mm:ss" below one hour, "h:mm:ss" from one hour
// on. Negative or non-finite offsets read as zero.
std::string clock(double seconds);

// JSON forms. Encoding throws std::invalid_argument for text that is not UTF-8.
nlohmann::json toJSON(const Segment& segment);
nlohmann::json toJSON(const MeetingMeta& meta);
std::optional<Segment> segmentFromJSON(const nlohmann::json& json);
std::optional<MeetingMeta> metaFromJSON(const nlohmann::json& json);

// One compact transcript line (keys sorted, no line feed) and its decoding.
std::string encodeSegmentLine(const Segment& segment);
std::optional<Segment> decodeSegmentLine(std::string_view line);
// "meta.json" text: pretty-printed with sorted keys.
std::string encodeMeta(const MeetingMeta& meta);
std::optional<MeetingMeta> decodeMeta(std::string_view bytes);

}  // namespace quillet

template <>
struct std::hash<quillet::MeetingLanguage> {
  size_t operator()(const quillet::MeetingLanguage& l) const noexcept {
    return std::hash<std::string>{}(l.rawValue);
  }
};
template <>
struct std::hash<quillet::Segment> {
  size_t operator()(const quillet::Segment& s) const noexcept;
};
template <>
struct std::hash<quillet::MeetingMeta> {
  size_t operator()(const quillet::MeetingMeta& m) const noexcept;
};
template <>
struct std::hash<quillet::Meeting> {
  size_t operator()(const quillet::Meeting& m) const noexcept;
};
