#include "QuilletKit/Meeting.hpp"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <cmath>
#include <cstdio>

#include "QuilletKit/JSON.hpp"
#include "QuilletKit/Localization.hpp"
#include "QuilletKit/Text.hpp"

namespace quillet {

using nlohmann::json;

// ---- MeetingLanguage ----

static icu::Locale icuLocale(const std::string& raw) {
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale locale = icu::Locale::forLanguageTag(raw, status);
  if (U_FAILURE(status) || locale.isBogus()) return icu::Locale::createCanonical(raw.c_str());
  return locale;
}

static std::string displayName(const std::string& raw, const icu::Locale& in) {
  icu::Locale locale = icuLocale(raw);
  if (locale.isBogus() || *locale.getLanguage() == '\0') return raw;
  icu::UnicodeString language;
  locale.getDisplayLanguage(in, language);
  std::string languageName;
  language.toUTF8String(languageName);
  // ICU echoes the code back when it has no name for the language.
  if (languageName == locale.getLanguage()) return raw;
  icu::UnicodeString name;
  locale.getDisplayName(in, name);
  std::string out;
  name.toUTF8String(out);
  return out;
}

std::string MeetingLanguage::shortName() const {
  // Locales of the environment come as "pt_BR.UTF-8"; read them as "pt-BR".
  std::string tag = rawValue.substr(0, rawValue.find_first_of(".@"));
  std::replace(tag.begin(), tag.end(), '_', '-');
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale locale = icu::Locale::forLanguageTag(tag, status);
  if (U_FAILURE(status) || locale.isBogus() || *locale.getLanguage() == '\0')
    return text::toUpper(rawValue);
  return text::toUpper(locale.getLanguage());
}

std::string MeetingLanguage::name() const {
  std::string name = displayName(rawValue, icu::Locale::getDefault());
  return name == rawValue ? name : text::capitalized(name);
}

std::string MeetingLanguage::englishName() const { return displayName(rawValue, icu::Locale("en")); }

std::string MeetingLanguage::locale() const { return icuLocale(rawValue).getName(); }

// ---- Speaker ----

const char* rawValue(Speaker speaker) { return speaker == Speaker::me ? "eu" : "outros"; }

std::optional<Speaker> speakerFromRaw(std::string_view raw) {
  if (raw == "eu") return Speaker::me;
  if (raw == "outros") return Speaker::them;
  return std::nullopt;
}

std::string label(Speaker speaker) { return speaker == Speaker::me ? tr("Eu") : tr("Outros"); }

const char* promptLabel(Speaker speaker) { return speaker == Speaker::me ? "Me" : "Others"; }

// ---- clock ----

std::string clock(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
  long long t = static_cast<long long>(std::floor(std::min(seconds, 9.0e15)));
  char buffer[48];
  if (t < 3600)
    std::snprintf(buffer, sizeof buffer, "%02lld:%02lld", t / 60, t % 60);
  else
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", t / 3600, (t % 3600) / 60, t % 60);
  return buffer;
}

// ---- JSON ----

static void requireFinite(double value) {
  if (!std::isfinite(value)) throw std::invalid_argument("tempo não finito no trecho");
}

json toJSON(const Segment& s) {
  requireFinite(s.start);
  requireFinite(s.end);
  return json{{"id", s.id.string()},
              {"speaker", rawValue(s.speaker)},
              {"start", s.start},
              {"end", s.end},
              {"text", s.text}};
}

json toJSON(const MeetingMeta& m) {
  json j{{"id", m.id.string()},
         {"title", m.title},
         {"start", formatISO8601(m.start)},
         {"language", m.language.rawValue},
         {"attendees", m.attendees}};
  if (m.end) j["end"] = formatISO8601(*m.end);
  if (m.calendarEventID) j["calendarEventID"] = *m.calendarEventID;
  if (m.app) j["app"] = *m.app;
  if (m.enhancedWith) j["enhancedWith"] = *m.enhancedWith;
  return j;
}

static const json* member(const json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

static std::optional<double> finiteNumber(const json* value) {
  if (!value || !value->is_number()) return std::nullopt;
  double d = value->get<double>();
  if (!std::isfinite(d)) return std::nullopt;
  return d;
}

std::optional<Segment> segmentFromJSON(const json& j) {
  if (!j.is_object()) return std::nullopt;
  const json *id = member(j, "id"), *speaker = member(j, "speaker"), *text = member(j, "text");
  if (!id || !id->is_string() || !speaker || !speaker->is_string() || !text || !text->is_string())
    return std::nullopt;
  auto uuid = Uuid::parse(id->get_ref<const std::string&>());
  auto who = speakerFromRaw(speaker->get_ref<const std::string&>());
  auto start = finiteNumber(member(j, "start"));
  auto end = finiteNumber(member(j, "end"));
  if (!uuid || !who || !start || !end) return std::nullopt;
  return Segment{*uuid, *who, *start, *end, text->get<std::string>()};
}

// An optional member: missing or null is absent; any other non-string fails.
template <typename T, typename Read>
static bool readOptional(const json& j, const char* key, std::optional<T>& out, Read read) {
  const json* value = member(j, key);
  if (!value || value->is_null()) return true;
  if (!value->is_string()) return false;
  auto parsed = read(value->get_ref<const std::string&>());
  if (!parsed) return false;
  out = std::move(*parsed);
  return true;
}

std::optional<MeetingMeta> metaFromJSON(const json& j) {
  if (!j.is_object()) return std::nullopt;
  const json *id = member(j, "id"), *title = member(j, "title"), *start = member(j, "start"),
             *language = member(j, "language"), *attendees = member(j, "attendees");
  if (!id || !id->is_string() || !title || !title->is_string() || !start || !start->is_string() ||
      !language || !language->is_string() || !attendees || !attendees->is_array())
    return std::nullopt;
  MeetingMeta meta;
  auto uuid = Uuid::parse(id->get_ref<const std::string&>());
  auto startDate = parseISO8601(start->get_ref<const std::string&>());
  if (!uuid || !startDate) return std::nullopt;
  meta.id = *uuid;
  meta.title = title->get<std::string>();
  meta.start = *startDate;
  meta.language = MeetingLanguage{language->get<std::string>()};
  for (const json& name : *attendees) {
    if (!name.is_string()) return std::nullopt;
    meta.attendees.push_back(name.get<std::string>());
  }
  auto asString = [](const std::string& s) { return std::optional<std::string>(s); };
  if (!readOptional(j, "end", meta.end, [](const std::string& s) { return parseISO8601(s); }) ||
      !readOptional(j, "calendarEventID", meta.calendarEventID, asString) ||
      !readOptional(j, "app", meta.app, asString) ||
      !readOptional(j, "enhancedWith", meta.enhancedWith, asString))
    return std::nullopt;
  return meta;
}

static std::string dumpStrict(const json& j, int indent) {
  try {
    return j.dump(indent, ' ', false, json::error_handler_t::strict);
  } catch (const json::type_error&) {
    throw std::invalid_argument("texto que não é UTF-8 válido");
  }
}

std::string encodeSegmentLine(const Segment& segment) { return dumpStrict(toJSON(segment), -1); }

std::string encodeMeta(const MeetingMeta& meta) { return dumpStrict(toJSON(meta), 2); }

std::optional<MeetingMeta> decodeMeta(std::string_view bytes) {
  json j = parseJSON(bytes);
  if (j.is_discarded()) return std::nullopt;
  return metaFromJSON(j);
}

// ---- fast transcript line reader ----
//
// Listing a store decodes every transcript line, so the common shape (one flat
// object of strings and numbers) is read here without building a JSON tree.
// Anything unusual is handed to the full parser, which stays the authority.
namespace {

class LineReader {
 public:
  explicit LineReader(std::string_view s) : s_(s) {}

  // Absent when the line is not the plain shape this reader handles.
  std::optional<Segment> read() {
    skipSpace();
    if (!consume('{')) return std::nullopt;
    Segment segment;
    unsigned seen = 0;
    skipSpace();
    if (consume('}')) return std::nullopt;
    for (;;) {
      std::string_view key;
      skipSpace();
      if (!readPlainString(key)) return std::nullopt;
      skipSpace();
      if (!consume(':')) return std::nullopt;
      skipSpace();
      unsigned bit = 0;
      if (key == "id") {
        std::string_view value;
        if (!readPlainString(value)) return std::nullopt;
        auto uuid = Uuid::parse(value);
        if (!uuid) return std::nullopt;
        segment.id = *uuid;
        bit = 1;
      } else if (key == "speaker") {
        std::string_view value;
        if (!readPlainString(value)) return std::nullopt;
        auto who = speakerFromRaw(value);
        if (!who) return std::nullopt;
        segment.speaker = *who;
        bit = 2;
      } else if (key == "start" || key == "end") {
        double value;
        if (!readNumber(value)) return std::nullopt;
        (key == "start" ? segment.start : segment.end) = value;
        bit = key == "start" ? 4 : 8;
      } else if (key == "text") {
        if (!readString(segment.text)) return std::nullopt;
        bit = 16;
      } else if (!skipScalar()) {
        return std::nullopt;
      }
      if (bit) {
        if (seen & bit) return std::nullopt;  // duplicate keys: let the parser decide
        seen |= bit;
      }
      skipSpace();
      if (consume(',')) continue;
      if (!consume('}')) return std::nullopt;
      break;
    }
    skipSpace();
    if (pos_ != s_.size() || seen != 31) return std::nullopt;
    return segment;
  }

 private:
  bool consume(char c) {
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  void skipSpace() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\r' || s_[pos_] == '\n'))
      ++pos_;
  }

  // A string without escapes, as a view into the line.
  bool readPlainString(std::string_view& out) {
    if (!consume('"')) return false;
    size_t close = s_.find('"', pos_);
    if (close == std::string_view::npos) return false;
    std::string_view span = s_.substr(pos_, close - pos_);
    if (!isPlainText(span)) return false;
    out = span;
    pos_ = close + 1;
    return true;
  }

  // Whether `span` holds no control character, no backslash and only
  // well-formed UTF-8: then it is the string's value as it stands.
  static bool isPlainText(std::string_view span) {
    constexpr uint64_t ones = ~0ULL / 255, highs = ones * 0x80;
    auto hasZero = [&](uint64_t x) { return (x - ones) & ~x & highs; };
    const auto* p = reinterpret_cast<const unsigned char*>(span.data());
    const auto* end = p + span.size();
    while (p < end) {
      if (end - p >= 8) {
        uint64_t x;
        std::memcpy(&x, p, 8);
        if (!((x & highs) | ((x - ones * 0x20) & ~x & highs) | hasZero(x ^ (ones * '\\')))) {
          p += 8;
          continue;
        }
      }
      unsigned lead = *p;
      if (lead < 0x80) {
        if (lead < 0x20 || lead == '\\') return false;
        ++p;
        continue;
      }
      size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
      if (lead < 0xC2 || lead > 0xF4 || end - p < static_cast<long>(length)) return false;
      for (size_t i = 1; i < length; ++i)
        if ((p[i] & 0xC0) != 0x80) return false;
      if ((lead == 0xE0 && p[1] < 0xA0) || (lead == 0xED && p[1] > 0x9F) || (lead == 0xF0 && p[1] < 0x90) ||
          (lead == 0xF4 && p[1] > 0x8F))
        return false;
      p += length;
    }
    return true;
  }

  bool readString(std::string& out) {
    if (!consume('"')) return false;
    // Most strings hold no escape: find the closing quote and check the span;
    // anything else takes the careful path below.
    if (size_t close = s_.find('"', pos_); close != std::string_view::npos) {
      std::string_view span = s_.substr(pos_, close - pos_);
      if (isPlainText(span)) {
        out.assign(span);
        pos_ = close + 1;
        return true;
      }
    }
    // Escaped strings are rare: copy runs and escapes, then check the whole.
    size_t runStart = pos_;
    out.clear();
    while (pos_ < s_.size()) {
      unsigned char c = static_cast<unsigned char>(s_[pos_]);
      if (c == '"') {
        out.append(s_.substr(runStart, pos_ - runStart));
        ++pos_;
        return text::isValidUtf8(out);
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        out.append(s_.substr(runStart, pos_ - runStart));
        if (!readEscape(out)) return false;
        runStart = pos_;
        continue;
      }
      ++pos_;
    }
    return false;
  }

  bool readEscape(std::string& out) {
    ++pos_;  // backslash
    if (pos_ >= s_.size()) return false;
    char c = s_[pos_++];
    switch (c) {
      case '"': out.push_back('"'); return true;
      case '\\': out.push_back('\\'); return true;
      case '/': out.push_back('/'); return true;
      case 'b': out.push_back('\b'); return true;
      case 'f': out.push_back('\f'); return true;
      case 'n': out.push_back('\n'); return true;
      case 'r': out.push_back('\r'); return true;
      case 't': out.push_back('\t'); return true;
      case 'u': break;
      default: return false;
    }
    // Surrogate pairs and lone surrogates go to the full parser.
    unsigned code;
    if (!readHex4(code) || (code >= 0xD800 && code <= 0xDFFF)) return false;
    icu::UnicodeString(static_cast<UChar32>(code)).toUTF8String(out);
    return true;
  }

  bool readHex4(unsigned& code) {
    if (pos_ + 4 > s_.size()) return false;
    code = 0;
    for (int i = 0; i < 4; ++i) {
      char c = s_[pos_++];
      code <<= 4;
      if (c >= '0' && c <= '9') code |= c - '0';
      else if (c >= 'a' && c <= 'f') code |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') code |= c - 'A' + 10;
      else return false;
    }
    return true;
  }

  // A number in strict JSON grammar, finite as a double.
  bool readNumber(double& value) {
    size_t begin = pos_;
    consume('-');
    if (consume('0')) {
    } else if (!digits()) {
      return false;
    }
    if (consume('.') && !digits()) return false;
    if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      ++pos_;
      if (!consume('+')) consume('-');
      if (!digits()) return false;
    }
    auto [end, error] = std::from_chars(s_.data() + begin, s_.data() + pos_, value);
    return error == std::errc() && end == s_.data() + pos_ && std::isfinite(value);
  }

  bool digits() {
    size_t begin = pos_;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
    return pos_ > begin;
  }

  bool skipScalar() {
    std::string ignored;
    double number;
    if (pos_ < s_.size() && s_[pos_] == '"') return readString(ignored);
    for (std::string_view word : {"true", "false", "null"}) {
      if (s_.substr(pos_, word.size()) == word) {
        pos_ += word.size();
        return true;
      }
    }
    return readNumber(number);
  }

  std::string_view s_;
  size_t pos_ = 0;
};

}  // namespace

std::optional<Segment> decodeSegmentLine(std::string_view line) {
  if (auto fast = LineReader(line).read()) return fast;
  json j = parseJSON(line);
  if (j.is_discarded()) return std::nullopt;
  return segmentFromJSON(j);
}

}  // namespace quillet

// ---- hashing ----

static size_t combine(size_t seed, size_t value) {
  return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

size_t std::hash<quillet::Segment>::operator()(const quillet::Segment& s) const noexcept {
  size_t h = std::hash<quillet::Uuid>{}(s.id);
  h = combine(h, static_cast<size_t>(s.speaker));
  h = combine(h, std::hash<double>{}(s.start));
  h = combine(h, std::hash<double>{}(s.end));
  return combine(h, std::hash<std::string>{}(s.text));
}

size_t std::hash<quillet::MeetingMeta>::operator()(const quillet::MeetingMeta& m) const noexcept {
  size_t h = std::hash<quillet::Uuid>{}(m.id);
  h = combine(h, std::hash<std::string>{}(m.title));
  h = combine(h, std::hash<long long>{}(m.start.time_since_epoch().count()));
  if (m.end) h = combine(h, std::hash<long long>{}(m.end->time_since_epoch().count()));
  h = combine(h, std::hash<std::string>{}(m.language.rawValue));
  for (const auto& a : m.attendees) h = combine(h, std::hash<std::string>{}(a));
  for (const auto* o : {&m.calendarEventID, &m.app, &m.enhancedWith})
    h = combine(h, *o ? std::hash<std::string>{}(**o) : 1);
  return h;
}

size_t std::hash<quillet::Meeting>::operator()(const quillet::Meeting& m) const noexcept {
  size_t h = std::hash<quillet::MeetingMeta>{}(m.meta);
  h = combine(h, std::hash<std::string>{}(m.folder.string()));
  h = combine(h, std::hash<std::string>{}(m.notes));
  h = combine(h, m.enhanced ? std::hash<std::string>{}(*m.enhanced) : 1);
  for (const auto& s : m.segments) h = combine(h, std::hash<quillet::Segment>{}(s));
  return h;
}
