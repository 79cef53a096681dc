// One transcript line: the fast reader must agree with the full JSON parser.
#include "FuzzSupport.hpp"
#include "QuilletKit/Meeting.hpp"

QUILLET_FUZZ_TARGET(line) {
  auto fast = quillet::decodeSegmentLine(line);
  auto json = nlohmann::json::parse(line.begin(), line.end(), nullptr, false);
  auto full = json.is_discarded() ? std::nullopt : quillet::segmentFromJSON(json);
  require(fast.has_value() == full.has_value());
  require(!fast || (*fast == *full && quillet::decodeSegmentLine(quillet::encodeSegmentLine(*fast)) == fast));
}
