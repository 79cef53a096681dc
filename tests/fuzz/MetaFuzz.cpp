// "meta.json" decoding, and encoding whatever decodes.
#include "FuzzSupport.hpp"
#include "QuilletKit/Meeting.hpp"

QUILLET_FUZZ_TARGET(bytes) {
  auto meta = quillet::decodeMeta(bytes);
  if (!meta) return;
  auto again = quillet::decodeMeta(quillet::encodeMeta(*meta));
  require(again && *again == *meta);
}
