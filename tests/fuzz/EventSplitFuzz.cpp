// The event reader hands on the same payloads, in the same order, however
// the network splits the body into reads.
#include <algorithm>

#include "FuzzSupport.hpp"

QUILLET_FUZZ_TARGET(input) {
  if (input.size() < 3) return;
  // The first bytes choose the line limit and where the body is cut.
  auto byte = [&](size_t i) { return static_cast<unsigned char>(input[i]); };
  size_t maxLine = 8 + byte(0) % 64 * 4;
  uint32_t seed = byte(1) | (byte(2) << 8);
  std::string_view body = input.substr(3);
  std::vector<size_t> cuts;
  for (size_t i = 0, n = seed % 12; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    cuts.push_back((seed >> 8) % (body.size() + 1));
  }
  std::sort(cuts.begin(), cuts.end());
  std::vector<std::string_view> reads;
  size_t at = 0;
  for (size_t cut : cuts) {
    reads.push_back(body.substr(at, cut - at));
    at = cut;
  }
  reads.push_back(body.substr(at));
  require(eventPayloads({body}, maxLine) == eventPayloads(reads, maxLine));
}
