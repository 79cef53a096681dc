// The event reader hands on the same payloads, in the same order, however the network splits the body.
#include "FuzzSupport.hpp"

QUILLET_FUZZ_TARGET(input) {
  if (input.size() < 2) return;
  // The first byte chooses the line limit, the second how many reads; each read's size is one of the next bytes.
  size_t maxLine = 8 + static_cast<unsigned char>(input[0]) % 64 * 4, cuts = static_cast<unsigned char>(input[1]) % 12;
  if (input.size() < 2 + cuts) return;
  std::string_view body = input.substr(2 + cuts), rest = body;
  std::vector<std::string_view> reads;
  for (size_t i = 0; i < cuts; ++i) {
    reads.push_back(rest.substr(0, static_cast<unsigned char>(input[2 + i])));
    rest.remove_prefix(reads.back().size());
  }
  reads.push_back(rest);
  require(eventPayloads({body}, maxLine) == eventPayloads(reads, maxLine));
}
