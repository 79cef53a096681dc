// Within the nesting limit the guard gives the parser's tree, deeper text is refused, wherever the text is cut.
#include "FuzzSupport.hpp"
#include "QuilletKit/JSON.hpp"

QUILLET_FUZZ_TARGET(text) {
  using Event = nlohmann::json::parse_event_t;
  size_t deepest = 0;
  auto depth = [&](int outer, Event event, const nlohmann::json&) {
    if (event == Event::object_start || event == Event::array_start) deepest = std::max<size_t>(deepest, outer + 1);
    return true;
  };
  nlohmann::json guarded = quillet::parseJSON(text);
  nlohmann::json plain = nlohmann::json::parse(text.begin(), text.end(), depth, false);
  if (plain.is_discarded() || deepest > quillet::kMaxJSONDepth) require(guarded.is_discarded());
  else require(!guarded.is_discarded() && guarded == plain);
  size_t cut = text.empty() ? 0 : static_cast<unsigned char>(text[0]) % (text.size() + 1);
  quillet::JSONNesting whole, split;
  whole.feed(text);
  split.feed(text.substr(0, cut));
  split.feed(text.substr(cut));
  require(whole.tooDeep() == split.tooDeep());
}
