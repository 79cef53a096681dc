// Line attribution and normalisation: the first byte splits notes from output.
#include "FuzzSupport.hpp"
#include "QuilletKit/Enhancer.hpp"

QUILLET_FUZZ_TARGET(input) {
  if (input.empty()) return;
  size_t split = std::min<size_t>(static_cast<unsigned char>(input[0]), input.size() - 1);
  std::string notes(input.substr(1, split)), enhanced(input.substr(1 + split));
  require(!quillet::Enhancer::attribute(enhanced, notes).empty());
  (void)quillet::Enhancer::normalize(enhanced);
}
