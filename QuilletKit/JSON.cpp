#include "QuilletKit/JSON.hpp"

namespace quillet {

bool JSONNesting::feed(std::string_view bytes) {
  for (char c : bytes) {
    if (tooDeep_ || ended_) break;
    if (inString_) {
      if (escaped_) escaped_ = false;
      else if (c == '\\') escaped_ = true;
      else if (c == '"') inString_ = false;
      continue;
    }
    switch (c) {
      case '"':
        inString_ = true;
        break;
      case '[':
      case '{':
        tooDeep_ = ++depth_ > kMaxJSONDepth;
        break;
      case '\0':
        // The parser reads a NUL outside a string as the end of the text.
        ended_ = true;
        break;
      case ']':
      case '}':
        // An unbalanced closer makes the text invalid; the parser says so.
        if (depth_ > 0) --depth_;
        break;
      default:
        break;
    }
  }
  return !tooDeep_;
}

nlohmann::json parseJSON(std::string_view text, std::string* why) {
  const nlohmann::json discarded(nlohmann::json::value_t::discarded);
  // The parser agrees with this count on where strings begin and end for
  // every text it accepts, so nothing it builds nests deeper.
  if (!JSONNesting().feed(text)) {
    if (why) *why = "nesting deeper than " + std::to_string(kMaxJSONDepth) + " levels";
    return discarded;
  }
  if (!why) return nlohmann::json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  try {
    return nlohmann::json::parse(text.begin(), text.end());
  } catch (const nlohmann::json::parse_error& error) {
    // "[json.exception.parse_error.101] parse error at line 3, ..." without its tag.
    *why = error.what();
    if (why->starts_with("[")) why->erase(0, why->find("] ") + 2);
    return discarded;
  }
}

const std::string* stringMember(const nlohmann::json& object, const char* name) {
  auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get_ptr<const std::string*>() : nullptr;
}

const nlohmann::json* objectMember(const nlohmann::json& object, const char* name) {
  auto found = object.find(name);
  return found != object.end() && found->is_object() ? &*found : nullptr;
}

}  // namespace quillet
