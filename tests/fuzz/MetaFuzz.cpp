// "meta.json" decoding, and encoding whatever decodes.
#include "QuilletKit/Meeting.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (auto meta = quillet::decodeMeta(bytes)) {
    auto again = quillet::decodeMeta(quillet::encodeMeta(*meta));
    if (!again || !(*again == *meta)) __builtin_trap();
  }
  return 0;
}
