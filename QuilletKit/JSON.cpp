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

nlohmann::json parseJSON(std::string_view text) {
  // The parser agrees with this count on where strings begin and end for
  // every text it accepts, so nothing it builds nests deeper.
  if (!JSONNesting().feed(text)) return nlohmann::json(nlohmann::json::value_t::discarded);
  return nlohmann::json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
}

}  // namespace quillet
