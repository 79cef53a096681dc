// The event reader hands on the same payloads, in the same order, however
// the network splits the body into reads.
#include <algorithm>
#include <string>
#include <vector>

#include "QuilletKit/SSE.hpp"

namespace {

std::vector<std::string> payloads(const std::vector<std::string_view>& reads, size_t maxLine) {
  quillet::SSE::LineReader reader(maxLine);
  std::vector<std::string> found;
  auto collect = [&](std::string_view payload) {
    found.emplace_back(payload);
    return payload != "[DONE]";
  };
  for (std::string_view read : reads)
    if (!reader.feed(read, collect)) return found;
  reader.finish(collect);
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  // The first bytes choose the line limit and where the body is cut.
  size_t maxLine = 8 + data[0] % 64 * 4;
  uint32_t seed = data[1] | (data[2] << 8);
  std::string_view body(reinterpret_cast<const char*>(data) + 3, size - 3);
  std::vector<size_t> cuts;
  for (size_t i = 0, n = seed % 12; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    cuts.push_back(body.empty() ? 0 : (seed >> 8) % (body.size() + 1));
  }
  std::sort(cuts.begin(), cuts.end());
  std::vector<std::string_view> reads;
  size_t at = 0;
  for (size_t cut : cuts) {
    reads.push_back(body.substr(at, cut - at));
    at = cut;
  }
  reads.push_back(body.substr(at));
  if (payloads({body}, maxLine) != payloads(reads, maxLine)) __builtin_trap();
  return 0;
}
