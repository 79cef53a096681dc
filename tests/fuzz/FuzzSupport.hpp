#pragma once
// The targets' entry point and failed check; an event-stream body's payloads read in given stretches (tests too).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "QuilletKit/SSE.hpp"

#define QUILLET_FUZZ_TARGET(input)                                          \
  static void fuzzOne(std::string_view input);                              \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { \
    fuzzOne(std::string_view(reinterpret_cast<const char*>(data), size));   \
    return 0;                                                               \
  }                                                                         \
  static void fuzzOne(std::string_view input)

inline void require(bool holds) {
  if (!holds) __builtin_trap();
}

inline std::vector<std::string> eventPayloads(const std::vector<std::string_view>& reads, size_t maxLine) {
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
