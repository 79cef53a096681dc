// Line attribution and normalisation: the first byte splits notes from output.
#include "QuilletKit/Enhancer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t split = std::min<size_t>(data[0], size - 1);
  std::string notes(reinterpret_cast<const char*>(data) + 1, split);
  std::string enhanced(reinterpret_cast<const char*>(data) + 1 + split, size - 1 - split);
  auto lines = quillet::Enhancer::attribute(enhanced, notes);
  if (lines.empty()) __builtin_trap();
  (void)quillet::Enhancer::normalize(enhanced);
  return 0;
}
