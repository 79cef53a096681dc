// One transcript line: the fast reader must agree with the full JSON parser.
#include "QuilletKit/Meeting.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view line(reinterpret_cast<const char*>(data), size);
  auto fast = quillet::decodeSegmentLine(line);
  auto json = nlohmann::json::parse(line.begin(), line.end(), nullptr, false);
  auto full = json.is_discarded() ? std::nullopt : quillet::segmentFromJSON(json);
  if (fast.has_value() != full.has_value()) __builtin_trap();
  if (fast && !(*fast == *full)) __builtin_trap();
  if (fast && !(quillet::decodeSegmentLine(quillet::encodeSegmentLine(*fast)) == fast)) __builtin_trap();
  return 0;
}
